/* Show the program's manual page with the system's viewer. */
#ifndef SAFE_MANPAGE_H
#define SAFE_MANPAGE_H

#ifdef __cplusplus
extern "C" {
#endif

/* 0 after the viewer ran, -1 if the command could not be built; exits with *rcode if given. */
int safe_manpage(const char *argv0, const int *rcode);

#ifdef __cplusplus
}
#endif

#endif
