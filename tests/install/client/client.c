/* Opens the runtime library, reads the table's version and calls a service through it. */
#include <vantrel/exec.h>

#include <stdio.h>

int main(void) {
    ExecTable* exec = EXEC_OpenExec(0);
    if (!exec) {
        printf("the library did not open\n");
        return 1;
    }
    exec->EXEC_Printf("installed client: %d\n", 42);
    EXEC_CloseExec();
    return 0;
}
