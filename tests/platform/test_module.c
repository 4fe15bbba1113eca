/* A module for the loader tests: one entry and one value. */
int module_value = 42;

int SLL_Initialise(int argument) {
    return argument + module_value;
}
