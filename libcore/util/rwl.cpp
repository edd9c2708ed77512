#include "util/rwl.h"

namespace {

bool rwl_is_valid(const rwl* l) { return l != nullptr && l->valid == rwl::valid_marker; }

// Waits on `cond` while `must_wait()` holds, counted in `*waiting`. A failed wait undoes the
// count and gives up the mutex, so the caller returns the error straight away.
template <typename Pred>
int rwl_wait(rwl* l, pthread_cond_t* cond, int* waiting, Pred must_wait) {
  if (!must_wait()) return 0;
  (*waiting)++;
  while (must_wait()) {
    int rc = pthread_cond_wait(cond, &l->mutex);
    if (rc != 0) {
      (*waiting)--;
      pthread_mutex_unlock(&l->mutex);
      return rc;
    }
  }
  (*waiting)--;
  return 0;
}

// After a writer leaves or steps down: writers first, all of them when an upgrader is
// among them (a single wake-up could reach a plain writer, which would go back to sleep
// behind the upgrader and leave the upgrader asleep too).
void rwl_wake_writers(rwl* l) {
  if (l->u_wait > 0) {
    pthread_cond_broadcast(&l->write);
  } else {
    pthread_cond_signal(&l->write);
  }
}

}  // namespace

int rwl_init_internal(rwl* l) {
  if (l == nullptr) return RWL_INVALID;
  l->r_active = l->w_active = l->r_wait = l->w_wait = l->u_wait = 0;
  int rc = pthread_mutex_init(&l->mutex, nullptr);
  if (rc != 0) return rc;
  rc = pthread_cond_init(&l->read, nullptr);
  if (rc != 0) {
    pthread_mutex_destroy(&l->mutex);
    return rc;
  }
  rc = pthread_cond_init(&l->write, nullptr);
  if (rc != 0) {
    pthread_cond_destroy(&l->read);
    pthread_mutex_destroy(&l->mutex);
    return rc;
  }
  l->valid = rwl::valid_marker;
  return 0;
}

int rwl_destroy(rwl* l) {
  if (!rwl_is_valid(l)) return RWL_INVALID;
  int rc = pthread_mutex_lock(&l->mutex);
  if (rc != 0) return rc;
  if (l->r_active > 0 || l->w_active != 0 || l->r_wait > 0 || l->w_wait > 0) {
    pthread_mutex_unlock(&l->mutex);
    return RWL_BUSY;
  }
  l->valid = 0;
  pthread_mutex_unlock(&l->mutex);
  int rc_mutex = pthread_mutex_destroy(&l->mutex);
  int rc_read = pthread_cond_destroy(&l->read);
  int rc_write = pthread_cond_destroy(&l->write);
  return rc_mutex != 0 ? rc_mutex : rc_read != 0 ? rc_read : rc_write;
}

int rwl_readlock(rwl* l) {
  if (!rwl_is_valid(l)) return RWL_INVALID;
  int rc = pthread_mutex_lock(&l->mutex);
  if (rc != 0) return rc;
  rc = rwl_wait(l, &l->read, &l->r_wait, [l] { return l->w_active != 0 || l->w_wait > 0; });
  if (rc != 0) return rc;
  l->r_active++;
  pthread_mutex_unlock(&l->mutex);
  return 0;
}

int rwl_readtrylock(rwl* l) {
  if (!rwl_is_valid(l)) return RWL_INVALID;
  int rc = pthread_mutex_lock(&l->mutex);
  if (rc != 0) return rc;
  if (l->w_active != 0) {
    rc = RWL_BUSY;
  } else {
    l->r_active++;
  }
  pthread_mutex_unlock(&l->mutex);
  return rc;
}

int rwl_readunlock(rwl* l) {
  if (!rwl_is_valid(l)) return RWL_INVALID;
  int rc = pthread_mutex_lock(&l->mutex);
  if (rc != 0) return rc;
  if (l->r_active <= 0) {
    pthread_mutex_unlock(&l->mutex);
    return RWL_NOT_HELD;
  }
  l->r_active--;
  if (l->r_active == 0 && l->w_wait > 0) rwl_wake_writers(l);
  pthread_mutex_unlock(&l->mutex);
  return 0;
}

int rwl_writelock(rwl* l) {
  if (!rwl_is_valid(l)) return RWL_INVALID;
  int rc = pthread_mutex_lock(&l->mutex);
  if (rc != 0) return rc;
  rc = rwl_wait(l, &l->write, &l->w_wait,
                [l] { return l->w_active != 0 || l->r_active > 0 || l->u_wait > 0; });
  if (rc != 0) return rc;
  l->w_active = 1;
  pthread_mutex_unlock(&l->mutex);
  return 0;
}

int rwl_writetrylock(rwl* l) {
  if (!rwl_is_valid(l)) return RWL_INVALID;
  int rc = pthread_mutex_lock(&l->mutex);
  if (rc != 0) return rc;
  if (l->w_active != 0 || l->r_active > 0) {
    rc = RWL_BUSY;
  } else {
    l->w_active = 1;
  }
  pthread_mutex_unlock(&l->mutex);
  return rc;
}

int rwl_writeunlock(rwl* l) {
  if (!rwl_is_valid(l)) return RWL_INVALID;
  int rc = pthread_mutex_lock(&l->mutex);
  if (rc != 0) return rc;
  if (l->w_active == 0) {
    pthread_mutex_unlock(&l->mutex);
    return RWL_NOT_HELD;
  }
  l->w_active = 0;
  if (l->w_wait > 0) {
    rwl_wake_writers(l);
  } else if (l->r_wait > 0) {
    pthread_cond_broadcast(&l->read);
  }
  pthread_mutex_unlock(&l->mutex);
  return 0;
}

int rwl_upgrade(rwl* l) {
  if (!rwl_is_valid(l)) return RWL_INVALID;
  int rc = pthread_mutex_lock(&l->mutex);
  if (rc != 0) return rc;
  if (l->r_active <= 0) {
    pthread_mutex_unlock(&l->mutex);
    return RWL_NOT_HELD;
  }
  if (l->r_active > 1 || l->w_active != 0) {
    // Give up the read hold while waiting: two readers upgrading at once would otherwise
    // each wait for the other to leave.
    l->r_active--;
    l->w_wait++;
    l->u_wait++;
    while (l->w_active != 0 || l->r_active > 0) {
      rc = pthread_cond_wait(&l->write, &l->mutex);
      if (rc != 0) {
        // The read hold is gone either way; leave the counters as if the caller had
        // unlocked, and pass on a wake-up that may have been meant for it.
        l->w_wait--;
        l->u_wait--;
        if (l->w_active == 0 && l->r_active == 0) {
          if (l->w_wait > 0) {
            rwl_wake_writers(l);
          } else if (l->r_wait > 0) {
            pthread_cond_broadcast(&l->read);
          }
        }
        pthread_mutex_unlock(&l->mutex);
        return rc;
      }
    }
    l->w_wait--;
    l->u_wait--;
  } else {
    l->r_active--;
  }
  l->w_active = 1;
  pthread_mutex_unlock(&l->mutex);
  return 0;
}

int rwl_downgrade(rwl* l) {
  if (!rwl_is_valid(l)) return RWL_INVALID;
  int rc = pthread_mutex_lock(&l->mutex);
  if (rc != 0) return rc;
  if (l->w_active == 0) {
    pthread_mutex_unlock(&l->mutex);
    return RWL_NOT_HELD;
  }
  l->w_active = 0;
  l->r_active++;
  if (l->w_wait > 0) {
    pthread_cond_broadcast(&l->write);
  } else if (l->r_wait > 0) {
    pthread_cond_broadcast(&l->read);
  }
  pthread_mutex_unlock(&l->mutex);
  return 0;
}
