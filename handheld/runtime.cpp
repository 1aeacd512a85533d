// runtime.cpp - the compiler's run-time helpers that the handheld code calls.
//
// The ARM EABI compiler calls __aeabi_mem* for block fills and copies (a
// zeroed structure or array, say). Windows CE has no such names; coredll
// has the C runtime's memset, memcpy and memmove, so each helper hands its
// work to those (note the EABI's argument order for __aeabi_memset). The
// 4- and 8-byte variants only promise aligned pointers, which the plain
// functions do not need. Anything else the compiler might call (division
// helpers, say) is deliberately absent: the link then fails and names it.
#include <stddef.h>

extern "C" {

void *memset(void *destination, int value, size_t count);
void *memcpy(void *destination, const void *source, size_t count);
void *memmove(void *destination, const void *source, size_t count);

void __aeabi_memclr(void *destination, size_t count) { memset(destination, 0, count); }
void __aeabi_memclr4(void *destination, size_t count) { memset(destination, 0, count); }
void __aeabi_memclr8(void *destination, size_t count) { memset(destination, 0, count); }

void __aeabi_memset(void *destination, size_t count, int value) { memset(destination, value, count); }
void __aeabi_memset4(void *destination, size_t count, int value) { memset(destination, value, count); }
void __aeabi_memset8(void *destination, size_t count, int value) { memset(destination, value, count); }

void __aeabi_memcpy(void *destination, const void *source, size_t count) { memcpy(destination, source, count); }
void __aeabi_memcpy4(void *destination, const void *source, size_t count) { memcpy(destination, source, count); }
void __aeabi_memcpy8(void *destination, const void *source, size_t count) { memcpy(destination, source, count); }

void __aeabi_memmove(void *destination, const void *source, size_t count) { memmove(destination, source, count); }
void __aeabi_memmove4(void *destination, const void *source, size_t count) { memmove(destination, source, count); }
void __aeabi_memmove8(void *destination, const void *source, size_t count) { memmove(destination, source, count); }

}
