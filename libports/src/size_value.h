/* Sizes given on a command line (record lengths, block and chunk sizes). */
#ifndef SIZE_VALUE_H
#define SIZE_VALUE_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Reads text as a size: decimal digits ("010" is ten) or "0x" and hex
 * digits, then at most one suffix b, k, m or g in either case (bytes, KiB,
 * MiB, GiB), and nothing after it. True with *value when text is such a size
 * and the scaled value is at most max; the arithmetic is the same on every
 * word size. False, with *value untouched, otherwise.
 */
bool parse_size_value(const char *text, uint64_t max, uint64_t *value);

/*
 * The same for an option's value, which must also be at least min; on a
 * refusal the message "PROGRAM: invalid WHAT 'TEXT'" on standard error, WHAT
 * being the option's own word ("record length").
 */
bool size_option(const char *program, const char *what, const char *text, uint64_t min,
                 uint64_t max, uint64_t *value);

#ifdef __cplusplus
}
#endif

#endif
