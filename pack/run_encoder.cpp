// Filled in by the pack work.
