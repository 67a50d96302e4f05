/* libintl for a GLib built without translations: every message is its own
 * translation. format_arg tells the compiler that a message passed through
 * keeps its format, as gio's -Werror=format-security requires. */
#ifndef VARNOCK_PROXY_LIBINTL_H
#define VARNOCK_PROXY_LIBINTL_H

#include <locale.h>

#ifndef LC_MESSAGES
#define LC_MESSAGES 1729
#endif

#define INTL_FORMAT(n) __attribute__((format_arg(n)))

static inline INTL_FORMAT(1) char *gettext(const char *msgid) { return (char *)msgid; }

static inline INTL_FORMAT(2) char *dgettext(const char *domain, const char *msgid) {
  (void)domain;
  return (char *)msgid;
}

static inline INTL_FORMAT(2) char *dcgettext(const char *domain, const char *msgid, int category) {
  (void)domain;
  (void)category;
  return (char *)msgid;
}

static inline INTL_FORMAT(1)
    INTL_FORMAT(2) char *ngettext(const char *msgid, const char *plural, unsigned long n) {
  return (char *)(n == 1 ? msgid : plural);
}

static inline INTL_FORMAT(2) INTL_FORMAT(3) char *dngettext(const char *domain, const char *msgid,
                                                            const char *plural, unsigned long n) {
  (void)domain;
  return (char *)(n == 1 ? msgid : plural);
}

static inline INTL_FORMAT(2)
    INTL_FORMAT(3) char *dcngettext(const char *domain, const char *msgid, const char *plural,
                                    unsigned long n, int category) {
  (void)domain;
  (void)category;
  return (char *)(n == 1 ? msgid : plural);
}

static inline char *textdomain(const char *domain) {
  return (char *)(domain != NULL ? domain : "messages");
}

static inline char *bindtextdomain(const char *domain, const char *dir) {
  (void)domain;
  return (char *)dir;
}

static inline char *bind_textdomain_codeset(const char *domain, const char *codeset) {
  (void)domain;
  return (char *)codeset;
}

#endif
