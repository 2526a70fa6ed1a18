// chunkpack: not written yet.
int main() { return 1; }
