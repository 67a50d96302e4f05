/* LCM includes this Windows header by the name MSVC accepts; MinGW spells it in lower case. */
#include <winsock2.h>
