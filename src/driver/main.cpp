// Entry point placeholder until the command driver lands.
int main() { return 0; }
