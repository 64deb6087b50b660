#include "app/PingSender.h"

#include "app/WebPing.h"

PingSender::~PingSender() { Drain(); }

void PingSender::Post(const std::string& path, const std::string& user) {
  std::string host = WebPing::Host();
  std::lock_guard<std::mutex> lock(mutex_);
  threads_.emplace_back([host, path, user] { WebPing::Send(host, path, user); });
}

void PingSender::Drain() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    threads.swap(threads_);
  }
  for (std::thread& t : threads) t.join();
}
