// quorvin-convert: command-line front end.
int main() { return 0; }
