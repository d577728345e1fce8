/* The one export macro of the shared library. The library is built with
 * hidden visibility: only what carries QUILLET_EXPORT (the C interface of
 * quillet.h and the C++ facade's classes and functions) is part of its ABI.
 * Plain C and C++, no other include; any thread (a compile-time definition). */
#ifndef QUILLET_EXPORT_H_
#define QUILLET_EXPORT_H_

#if defined(_WIN32) && !defined(QUILLET_STATIC)
#  ifdef QUILLET_BUILDING_LIBRARY
#    define QUILLET_EXPORT __declspec(dllexport)
#  else
#    define QUILLET_EXPORT __declspec(dllimport)
#  endif
#elif defined(__GNUC__)
/** Marks what the shared library exports; everything else is hidden. */
#  define QUILLET_EXPORT __attribute__((visibility("default")))
#else
#  define QUILLET_EXPORT
#endif

#endif /* QUILLET_EXPORT_H_ */
