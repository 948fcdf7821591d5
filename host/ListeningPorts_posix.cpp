// The TCP ports this process listens on, read from its own sockets: the
// plug-in's listeners are ordinary descriptors on Linux.
#include <dirent.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>

#include "host/HostApi.h"

bool ListeningPorts(std::multiset<int>& ports) {
  DIR* fds = opendir("/proc/self/fd");
  if (fds == nullptr) return false;
  while (const dirent* entry = readdir(fds)) {
    const int fd = atoi(entry->d_name);
    int accepting = 0;
    socklen_t length = sizeof accepting;
    if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &length) != 0 || !accepting) continue;
    sockaddr_in address = {};
    length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 && address.sin_family == AF_INET)
      ports.insert(ntohs(address.sin_port));
  }
  closedir(fds);
  return true;
}
