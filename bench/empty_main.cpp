// The yardstick: a C++ program that does nothing, started the same way.
int main() {}
