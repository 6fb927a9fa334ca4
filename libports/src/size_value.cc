#include "size_value.h"

#include <stdio.h>

namespace
{

int digit_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 99;
}

/* The digits at *text in base, stopping at the first other character; false
 * without a digit or when the number passes max. */
bool read_number(const char **text, unsigned base, uint64_t max, uint64_t *number)
{
    const char *p = *text;
    uint64_t n = 0;
    for (; digit_value(*p) < (int)base; p++) {
        unsigned d = (unsigned)digit_value(*p);
        if (d > max || n > (max - d) / base)
            return false;
        n = n * base + d;
    }
    if (p == *text)
        return false;
    *text = p;
    *number = n;
    return true;
}

/* The power of two a suffix stands for, or -1 for anything else. */
int suffix_shift(const char *suffix)
{
    if (suffix[0] == '\0')
        return 0;
    if (suffix[1] != '\0')
        return -1;
    switch (suffix[0]) {
    case 'b':
    case 'B':
        return 0;
    case 'k':
    case 'K':
        return 10;
    case 'm':
    case 'M':
        return 20;
    case 'g':
    case 'G':
        return 30;
    }
    return -1;
}

} // namespace

bool parse_size_value(const char *text, uint64_t max, uint64_t *value)
{
    unsigned base = 10;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
    }
    uint64_t n;
    if (!read_number(&text, base, max, &n))
        return false;
    int shift = suffix_shift(text);
    if (shift < 0 || n > (max >> shift))
        return false;
    *value = n << shift;
    return true;
}

bool size_option(const char *program, const char *what, const char *text, uint64_t min,
                 uint64_t max, uint64_t *value)
{
    uint64_t taken;
    if (parse_size_value(text, max, &taken) && taken >= min) {
        *value = taken;
        return true;
    }
    fprintf(stderr, "%s: invalid %s '%s'\n", program, what, text);
    return false;
}
