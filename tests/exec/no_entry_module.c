/* A shared object without the module entry, where a module is looked for. */
__attribute__((visibility("default"))) int no_entry_value = 1;
