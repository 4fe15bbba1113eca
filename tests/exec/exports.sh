#!/usr/bin/env bash
# Clients reach the library through its entry points (the open, the close and the hardware
# entries) and the table it returns: any other exported symbol could be bound to by a client and
# would pin the library's insides.
set -euo pipefail
exported=$(nm -D --defined-only "$1" | awk '{print $3}' | LC_ALL=C sort | tr '\n' ' ')
if [[ $exported != "EXEC_CloseExec EXEC_OpenExec E_GetBaseAddress0 E_NoSound E_SetGFXActive E_Sound " ]]; then
    echo "FAIL: $1 exports: $exported"
    exit 1
fi
echo "exports: $exported"
