// <netinet/in.h> for MinGW: in_addr, IN_MULTICAST and ntohl are Winsock's.
#ifndef VARNOCK_POSIX_NETINET_IN_H_
#define VARNOCK_POSIX_NETINET_IN_H_

#include <winsock2.h>

#endif  // VARNOCK_POSIX_NETINET_IN_H_
