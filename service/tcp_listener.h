// A TCP listener that runs one thread per accepted connection, and the
// blocking byte helpers the protocol handlers use.
#ifndef HISTFEED_SERVICE_TCP_LISTENER_H_
#define HISTFEED_SERVICE_TCP_LISTENER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace histfeed::service {

// Reads exactly `size` bytes; false on end of stream, error or shutdown.
bool ReadExactly(int socket, void* data, size_t size);
// Writes every byte; false when the connection failed.
bool WriteAll(int socket, const void* data, size_t size);

class TcpListener {
 public:
  // Handles one connection until it returns; `peer` names the client.
  using Handler = std::function<void(int socket, const std::string& peer)>;

  TcpListener(std::string name, Handler handler);
  ~TcpListener();
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;

  // Listens on address:port (port 0 picks a free one). Returns an error
  // text, empty on success.
  std::string Start(const std::string& address, uint16_t port);
  uint16_t port() const { return port_; }

  // Stops accepting, ends every connection and waits for its thread.
  void Stop();

 private:
  void AcceptLoop();
  // Joins the threads of connections that have ended.
  void ReapFinished();

  std::string name_;
  Handler handler_;
  int listenSocket_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptThread_;
  std::mutex mutex_;
  std::set<int> openSockets_;
  struct Connection {
    std::thread thread;
    std::atomic<bool> done{false};
  };
  std::list<std::unique_ptr<Connection>> connections_;  // guarded by mutex_
};

}  // namespace histfeed::service

#endif  // HISTFEED_SERVICE_TCP_LISTENER_H_
