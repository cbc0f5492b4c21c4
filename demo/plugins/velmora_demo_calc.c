/* A sample compiled plugin: exported C functions that the panel calls
 * through ctypes with the request object's integer value. */
int square(int value) { return value * value; }

int add_ten(int value) { return value + 10; }
