#pragma once
// The resolving side of cvlistrdns: names go out through adns at a bounded rate from the main
// thread, and a receiver thread collects the answers, follows CNAME chains (at most 10 steps),
// retries temporary failures and hands each name's final outcome to a handler.
//
// Every adns call is made under one mutex. Re-submissions by the receiver (CNAME steps,
// retries) are paced by the same rate limiter as first sends: when no slot is free they wait
// in a queue that the receiver drains as slots come, so the server never sees more than the
// rate in any second.
//
// A name is "in flight" from dns_send until its outcome is handed over; a batch counts the
// names of one caller and wakes dns_wait_for_completion when it reaches 0.

#include <adns.h>
#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "rate_limiter.h"
#include "records/cvnet.h"

// The outcome of each name sent. Called on the receiver thread (or, for a name whose first
// submission fails, on the sending thread).
class dns_result_handler {
 public:
  virtual ~dns_result_handler() = default;
  // The name resolved to these addresses (at most 256), valid until `expiry`.
  virtual void dns_resolved(const std::string& name, int64_t expiry,
                            std::span<const cvnet_ipaddr> addrs) = 0;
  // The name has no address: no such name, no data, too many CNAME steps, retries exhausted.
  virtual void dns_unresolved(const std::string& name) = 0;
};

struct dns_batch {
  std::mutex mutex;
  std::condition_variable done;
  int outstanding = 0;
};

struct dns_query_context;

class dns_resolver {
 public:
  static constexpr int max_cname_hops = 10;
  static constexpr int max_addresses = 256;

  dns_resolver() = default;
  ~dns_resolver();
  dns_resolver(const dns_resolver&) = delete;
  dns_resolver& operator=(const dns_resolver&) = delete;

  // Starts adns and the receiver thread. Prints the failure message and returns false when
  // either fails.
  bool init(dns_result_handler* handler, unsigned repeat, uint64_t rate);

  // Sends an address query for the name, waiting for a rate slot first. Returns 0, or -1
  // after the submission failed ("Can't resolve" printed, counts undone): the caller then
  // treats the name as unresolved itself.
  int send(const std::string& name, dns_batch* batch);

  // Waits until the batch has no name in flight. Returns false when the receiver stopped on a
  // failure instead (results known so far are still in the handler's hands).
  bool wait_for_completion(dns_batch* batch);

  // Stops the receiver, cancels what is left and releases adns. Idempotent.
  void terminate();

  bool failed() const { return failed_.load(); }

 private:
  struct deferred {
    dns_query_context* ctx;
    bool cname_query;
  };
  static void* receive_entry(void* self);
  void receive();
  void handle_answer(adns_answer* ans, dns_query_context* ctx);
  // Submits (or queues until a rate slot is free) the context's current query. Returns false
  // when the submission failed; the name is then finished as unresolved.
  bool resubmit(dns_query_context* ctx, bool cname_query);
  int submit_locked(dns_query_context* ctx, bool cname_query);
  void drain_deferred();
  void finish(dns_query_context* ctx);
  void fail_receiver();

  dns_result_handler* handler_ = nullptr;
  adns_state state_ = nullptr;
  std::mutex adns_mutex_;
  std::unique_ptr<rate_limiter> limiter_;
  unsigned repeat_ = 0;

  std::mutex inflight_mutex_;
  std::condition_variable inflight_cond_;
  int inflight_ = 0;
  std::deque<deferred> deferred_;  // guarded by inflight_mutex_

  std::mutex batches_mutex_;
  std::deque<dns_batch*> batches_;  // batches to wake when the receiver fails

  pthread_t thread_{};
  bool thread_started_ = false;
  std::atomic<bool> shutdown_{false};
  std::atomic<bool> failed_{false};
};
