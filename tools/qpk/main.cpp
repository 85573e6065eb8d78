// The qpk package tool.
int main() { return 1; }
