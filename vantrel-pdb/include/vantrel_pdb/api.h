// What the shared library exports: every declaration between
// VANTREL_PDB_API_BEGIN and VANTREL_PDB_API_END, which each public header
// puts around its contents. The library is compiled with hidden visibility,
// so nothing else (the editor's index, the format internals) is exported.
#ifndef VANTREL_PDB_API_H_
#define VANTREL_PDB_API_H_

#if defined(__GNUC__)
#define VANTREL_PDB_API_BEGIN _Pragma("GCC visibility push(default)")
#define VANTREL_PDB_API_END _Pragma("GCC visibility pop")
#else
#define VANTREL_PDB_API_BEGIN
#define VANTREL_PDB_API_END
#endif

#endif  // VANTREL_PDB_API_H_
