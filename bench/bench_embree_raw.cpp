// placeholder, replaced by the raw Embree benchmark
int main() { return 0; }
