/* Keeps errno across clean-up that may change it. */
#ifndef ERRNO_KEEPER_H
#define ERRNO_KEEPER_H

#ifdef __cplusplus
#include <errno.h>

/* Saves errno when made and puts it back when it goes out of scope, so a
 * close() or free() on the way out of a failure leaves the failure's errno. */
class errno_keeper
{
  public:
    errno_keeper() : saved_(errno) {}
    ~errno_keeper() { errno = saved_; }
    errno_keeper(const errno_keeper &) = delete;
    errno_keeper &operator=(const errno_keeper &) = delete;

  private:
    int saved_;
};
#endif

#endif
