#include "dns_resolver.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/time.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

// One per name sent; owned by adns (as the query context) or by the deferred queue while the
// name is in flight, and deleted when its outcome has been handed over.
struct dns_query_context {
  std::string name;     // the name sent; its outcome is reported under it
  std::string current;  // the name of the query outstanding (a CNAME target after a step)
  dns_batch* batch = nullptr;
  unsigned retries = 0;
  int hops = dns_resolver::max_cname_hops;
  bool cname_query = false;  // the outstanding query asks for the CNAME record
};

namespace {

// Address queries: the owner in the answer, any characters in the name, CNAMEs reported
// instead of followed (so that the steps can be counted), IPv4 and IPv6 answers both.
constexpr int addr_query_flags =
    adns_qf_owner | adns_qf_quoteok_query | adns_qf_cname_forbid | adns_qf_want_allaf;
constexpr int cname_query_flags = adns_qf_owner | adns_qf_quoteok_query;

struct answer_free {
  void operator()(adns_answer* a) const { free(a); }  // adns allocates answers with malloc
};

bool is_temporary(adns_status s) {
  return (s >= adns_s_timeout && s <= adns_s_unknownformat) ||
         (s >= adns_s_rcodeservfail && s <= adns_s_rcodeunknown) || s == adns_s_inconsistent ||
         (s >= adns_s_answerdomaininvalid && s <= adns_s_invaliddata);
}

bool is_bad_query_name(adns_status s) {
  return s >= adns_s_querydomainwrong && s <= adns_s_querydomaintoolong;
}

}  // namespace

dns_resolver::~dns_resolver() { terminate(); }

bool dns_resolver::init(dns_result_handler* handler, unsigned repeat, uint64_t rate) {
  handler_ = handler;
  repeat_ = repeat;
  limiter_ = std::make_unique<rate_limiter>(rate);
  int r = adns_init(&state_, adns_if_noerrprint, nullptr);
  if (r != 0) {
    state_ = nullptr;
    fprintf(stderr, "Can't initialize adns library, error code %d\n", r);
    return false;
  }
  pthread_attr_t attr;
  bool ok = pthread_attr_init(&attr) == 0;
  if (ok) {
    pthread_attr_setstacksize(&attr, 2 * 1024 * 1024);
    ok = pthread_create(&thread_, &attr, receive_entry, this) == 0;
    pthread_attr_destroy(&attr);
  }
  if (!ok) {
    fprintf(stderr, "Can not start adns responce processing thread\n");
    return false;
  }
  thread_started_ = true;
  return true;
}

void* dns_resolver::receive_entry(void* self) {
  static_cast<dns_resolver*>(self)->receive();
  return nullptr;
}

int dns_resolver::submit_locked(dns_query_context* ctx, bool cname_query) {
  ctx->cname_query = cname_query;
  adns_query q = nullptr;
  return adns_submit(state_, ctx->current.c_str(), cname_query ? adns_r_cname : adns_r_addr,
                     static_cast<adns_queryflags>(cname_query ? cname_query_flags
                                                              : addr_query_flags),
                     ctx, &q);
}

int dns_resolver::send(const std::string& name, dns_batch* batch) {
  auto ctx = std::make_unique<dns_query_context>();
  ctx->name = name;
  ctx->current = name;
  ctx->batch = batch;
  ctx->retries = repeat_;
  {
    std::lock_guard<std::mutex> lock(batches_mutex_);
    bool known = false;
    for (dns_batch* b : batches_) known = known || b == batch;
    if (!known) batches_.push_back(batch);
  }
  size_t ticket = 0;
  limiter_->acquire(&ticket);
  {
    std::lock_guard<std::mutex> lock(batch->mutex);
    ++batch->outstanding;
  }
  {
    std::lock_guard<std::mutex> lock(inflight_mutex_);
    ++inflight_;
  }
  inflight_cond_.notify_one();
  int r;
  {
    std::lock_guard<std::mutex> lock(adns_mutex_);
    r = submit_locked(ctx.get(), false);
  }
  limiter_->sent(ticket);
  if (r == 0) {
    ctx.release();  // adns holds it as the query context now
    return 0;
  }
  fprintf(stderr, "Can't resolve '%s': %s\n", name.c_str(), strerror(r));
  {
    std::lock_guard<std::mutex> lock(inflight_mutex_);
    --inflight_;
  }
  {
    std::lock_guard<std::mutex> lock(batch->mutex);
    if (--batch->outstanding == 0) batch->done.notify_all();
  }
  return -1;
}

bool dns_resolver::wait_for_completion(dns_batch* batch) {
  std::unique_lock<std::mutex> lock(batch->mutex);
  while (batch->outstanding > 0 && !failed_.load()) {
    batch->done.wait_for(lock, std::chrono::seconds(1));
  }
  return !failed_.load();
}

void dns_resolver::finish(dns_query_context* ctx) {
  {
    std::lock_guard<std::mutex> lock(inflight_mutex_);
    --inflight_;
  }
  dns_batch* b = ctx->batch;
  delete ctx;
  std::lock_guard<std::mutex> lock(b->mutex);
  if (--b->outstanding == 0) b->done.notify_all();
}

bool dns_resolver::resubmit(dns_query_context* ctx, bool cname_query) {
  size_t ticket = 0;
  if (limiter_->try_acquire(nullptr, &ticket)) {
    int r;
    {
      std::lock_guard<std::mutex> lock(adns_mutex_);
      r = submit_locked(ctx, cname_query);
    }
    limiter_->sent(ticket);
    if (r == 0) return true;
    fprintf(stderr, "Can't resolve '%s': %s\n", ctx->name.c_str(), strerror(r));
    handler_->dns_unresolved(ctx->name);
    finish(ctx);
    return false;
  }
  std::lock_guard<std::mutex> lock(inflight_mutex_);
  deferred_.push_back(deferred{ctx, cname_query});
  return true;
}

void dns_resolver::drain_deferred() {
  for (;;) {
    deferred d;
    {
      std::lock_guard<std::mutex> lock(inflight_mutex_);
      if (deferred_.empty()) return;
      d = deferred_.front();
      deferred_.pop_front();
    }
    size_t ticket = 0;
    if (!limiter_->try_acquire(nullptr, &ticket)) {
      std::lock_guard<std::mutex> lock(inflight_mutex_);
      deferred_.push_front(d);
      return;
    }
    int r;
    {
      std::lock_guard<std::mutex> lock(adns_mutex_);
      r = submit_locked(d.ctx, d.cname_query);
    }
    limiter_->sent(ticket);
    if (r != 0) {
      fprintf(stderr, "Can't resolve '%s': %s\n", d.ctx->name.c_str(), strerror(r));
      handler_->dns_unresolved(d.ctx->name);
      finish(d.ctx);
    }
  }
}

void dns_resolver::handle_answer(adns_answer* raw, dns_query_context* ctx) {
  std::unique_ptr<adns_answer, answer_free> ans(raw);
  adns_status st = ans->status;
  if (st == adns_s_ok) {
    if (ans->type == adns_r_cname) {
      if (ans->nrrs > 0 && ans->rrs.str[0] != nullptr) {
        ctx->current = ans->rrs.str[0];
        resubmit(ctx, false);
        return;
      }
    } else {
      std::vector<cvnet_ipaddr> addrs;
      for (int i = 0; i < ans->nrrs && addrs.size() < max_addresses; ++i) {
        const adns_rr_addr& rr = ans->rrs.addr[i];
        cvnet_ipaddr ip;
        if (rr.addr.sa.sa_family == AF_INET) {
          ip.family = CVNET_AF_INET;
          memcpy(ip.addr, &rr.addr.inet.sin_addr, 4);
        } else if (rr.addr.sa.sa_family == AF_INET6) {
          ip.family = CVNET_AF_INET6;
          memcpy(ip.addr, &rr.addr.inet6.sin6_addr, 16);
        } else {
          continue;
        }
        addrs.push_back(ip);
      }
      if (!addrs.empty()) {
        handler_->dns_resolved(ctx->name, static_cast<int64_t>(ans->expires), addrs);
        finish(ctx);
        return;
      }
    }
  } else if (st == adns_s_prohibitedcname) {
    if (ctx->hops > 0) {
      --ctx->hops;
      if (ans->cname != nullptr) {
        ctx->current = ans->cname;
        resubmit(ctx, false);
      } else {
        if (ans->owner != nullptr) ctx->current = ans->owner;
        resubmit(ctx, true);
      }
      return;
    }
  } else if (is_temporary(st)) {
    if (ctx->retries > 0) {
      --ctx->retries;
      resubmit(ctx, ctx->cname_query);
      return;
    }
  } else if (is_bad_query_name(st)) {
    fprintf(stderr, "Can't resolve '%s': %s\n", ctx->name.c_str(), adns_strerror(st));
  }
  handler_->dns_unresolved(ctx->name);
  finish(ctx);
}

void dns_resolver::fail_receiver() {
  failed_.store(true);
  std::lock_guard<std::mutex> lock(batches_mutex_);
  for (dns_batch* b : batches_) {
    std::lock_guard<std::mutex> block(b->mutex);
    b->done.notify_all();
  }
}

void dns_resolver::receive() {
  while (!shutdown_.load()) {
    drain_deferred();
    adns_query q = nullptr;
    adns_answer* ans = nullptr;
    void* ctx = nullptr;
    int r;
    {
      std::unique_lock<std::mutex> lock(adns_mutex_);
      r = adns_check(state_, &q, &ans, &ctx);
      if (r == EAGAIN) {
        pollfd fds[8];
        int nfds = 8;
        int timeout = 1000;
        timeval now;
        gettimeofday(&now, nullptr);
        if (adns_beforepoll(state_, fds, &nfds, &timeout, &now) != 0) nfds = 0;
        {
          std::lock_guard<std::mutex> il(inflight_mutex_);
          if (!deferred_.empty() && timeout > 1) timeout = 1;
        }
        lock.unlock();
        int pr = poll(fds, static_cast<nfds_t>(nfds), timeout);
        int e = errno;
        lock.lock();
        if (pr < 0) {
          if (e != EINTR) adns_globalsystemfailure(state_);
          continue;
        }
        gettimeofday(&now, nullptr);
        adns_afterpoll(state_, fds, pr > 0 ? nfds : 0, &now);
        continue;
      }
    }
    if (r == EINTR) continue;
    if (r == ESRCH) {
      std::unique_lock<std::mutex> lock(inflight_mutex_);
      if (inflight_ == 0) {
        inflight_cond_.wait_for(lock, std::chrono::seconds(5),
                                [this] { return shutdown_.load() || inflight_ > 0; });
      } else {
        // A send is on its way into adns, or a re-submission waits for a rate slot.
        inflight_cond_.wait_for(lock, std::chrono::milliseconds(1));
      }
      continue;
    }
    if (r != 0) {
      fprintf(stderr, "Error at adns response receive: %d\n", r);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    try {
      handle_answer(ans, static_cast<dns_query_context*>(ctx));
    } catch (const std::bad_alloc&) {
      fprintf(stderr, "Memory allocation error\n");
      fail_receiver();
      return;
    }
  }
}

void dns_resolver::terminate() {
  if (thread_started_) {
    shutdown_.store(true);
    {
      std::lock_guard<std::mutex> lock(inflight_mutex_);
      inflight_cond_.notify_all();
    }
    pthread_join(thread_, nullptr);
    thread_started_ = false;
  }
  if (state_ != nullptr) {
    // Contexts of queries still outstanding (after a receiver failure) are ours to free.
    adns_forallqueries_begin(state_);
    void* ctx = nullptr;
    while (adns_forallqueries_next(state_, &ctx) != nullptr) {
      delete static_cast<dns_query_context*>(ctx);
    }
    adns_finish(state_);
    state_ = nullptr;
  }
  for (const deferred& d : deferred_) delete d.ctx;
  deferred_.clear();
}
