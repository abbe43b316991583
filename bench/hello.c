/* The smallest console program: the floor for the cost of a start. */
#include <stdio.h>

int main(void) {
    puts("hello");
    return 0;
}
