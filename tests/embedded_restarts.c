/* An application that embeds the interpreter and restarts it: three rounds of
 * Py_Initialize, the code given as argv[1], Py_FinalizeEx, in one process. */
#include <Python.h>
#include <stdio.h>

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s CODE\n", argv[0]);
        return 2;
    }
    for (int round = 1; round <= 3; round++) {
        Py_Initialize();
        int failed = PyRun_SimpleString(argv[1]);
        if (Py_FinalizeEx() < 0 || failed) {
            fprintf(stderr, "round %d failed\n", round);
            return 1;
        }
        printf("round %d done\n", round);
        fflush(stdout);
    }
    return 0;
}
