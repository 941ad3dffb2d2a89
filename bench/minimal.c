/* minimal.c - a process that does nothing: the start-up floor. */
int main(void) { return 0; }
