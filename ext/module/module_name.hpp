#pragma once
// The module's name as the build gives it (VELDRA_MODULE_NAME, a bare
// token: veldraengineforpython3_11), pasted into symbols and spelled as text.
#define VELDRA_PASTE2(a, b) a##b
#define VELDRA_PASTE(a, b) VELDRA_PASTE2(a, b)
#define VELDRA_STRINGIFY2(a) #a
#define VELDRA_STRINGIFY(a) VELDRA_STRINGIFY2(a)
