#pragma once

namespace tavrino::share {

// Shows the screen-recording permission alert and returns the exit status
// once the user has pressed "OK".
int runAuthorizeAlert(int argc, char** argv, bool allowed);

}  // namespace tavrino::share
