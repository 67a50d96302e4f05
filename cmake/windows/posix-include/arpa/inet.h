// <arpa/inet.h> for MinGW. Winsock has no inet_aton; its inet_addr reads the
// same forms (239.1, 0xEF.1, octal parts), as LCM's Windows port relies on.
// Only 255.255.255.255 differs (it is inet_addr's error value), and that is
// no multicast group. inet_pton and inet_ntop are Winsock's own (ws2tcpip.h).
#ifndef VARNOCK_POSIX_ARPA_INET_H_
#define VARNOCK_POSIX_ARPA_INET_H_

#include <winsock2.h>
#include <ws2tcpip.h>

inline int inet_aton(const char* text, in_addr* address) {
  const unsigned long a = inet_addr(text);
  if (a == INADDR_NONE) return 0;
  address->s_addr = a;
  return 1;
}

#endif  // VARNOCK_POSIX_ARPA_INET_H_
