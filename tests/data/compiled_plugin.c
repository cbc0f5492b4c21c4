/* A tiny compiled plugin: plain C functions that the runner reaches through
 * ctypes, each taking the request object's integer value. */
int twice(int value) { return value * 2; }

int negate(int value) { return -value; }
