/* Standard descriptors that are never left closed. */
#ifndef SAFE_STDFDS_H
#define SAFE_STDFDS_H

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
 * no later open lands there: write-only on 0, read-only on 1 and 2, so that
 * reading a closed input and writing a closed output still fail (EBADF).
 * 0, or -1 with errno when /dev/null cannot be opened.
 */
int safe_stdfds(void);

#ifdef __cplusplus
}
#endif

#endif
