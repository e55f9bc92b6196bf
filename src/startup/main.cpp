// Placeholder until the start-up is written.
int main() { return 0; }
