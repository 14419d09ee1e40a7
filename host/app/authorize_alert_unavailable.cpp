#include <cstdio>

#include "app/authorize_alert.h"

namespace tavrino::share {

// Builds without Qt (the thread-sanitizer build) cannot show the alert.
int runAuthorizeAlert(int, char**, bool) {
  std::fputs("The permission alert is not part of this build.\n", stderr);
  return 1;
}

}  // namespace tavrino::share
