// Filled in by the store work.
