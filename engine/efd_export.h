#pragma once

// How efd.dll's functions are exported: C names, the platform's standard
// calling convention on 32-bit Windows and none elsewhere, visible from the
// library while everything else stays hidden.
#if defined(_WIN32) && !defined(_WIN64)
#define EFD_CALL __stdcall
#else
#define EFD_CALL
#endif
#define EFD_EXPORT extern "C" __attribute__((visibility("default")))
