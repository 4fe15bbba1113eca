/* A client with a bug, against the public header only: a wild pointer handed to a service
 * ("service"), or dereferenced by the client itself ("own"). Either way the desk shows one crash
 * report and the program ends. */
#include <vantrel/exec.h>

#include <stdio.h>
#include <string.h>

static void restore_text_mode(void) {
    printf("text mode restored\n");
}

int main(int argc, char** argv) {
    /* Address 16: never mapped. Made from argc so that the compiler sees no constant to warn of. */
    char* wild = (char*)(size_t)(argc * 8);
    ExecTable* t = EXEC_OpenExec(0);
    if (!t || argc != 2) return 10;
    E_SetGFXActive(restore_text_mode);
    /* Still in the stream's buffer when the fault comes: it must reach the screen first. */
    printf("before the fault\n");
    if (strcmp(argv[1], "own") == 0)
        *(volatile char*)wild = 1;
    else
        t->EXEC_STRCopy(wild, "wild", 5);
    printf("after the fault\n");
    EXEC_CloseExec();
    return 0;
}
