#pragma once

namespace tavrino::share {

// Shows the screen-recording permission alert and returns the exit status
// once the user has pressed "OK". The alert lives in a module of its own
// beside the helper's executable, loaded only here, so that serving never
// maps Qt and the libraries it pulls in; without the module (builds without
// the UI, or a module that cannot be loaded) this prints a sentence and the
// loader's reason on standard error and fails.
int runAuthorizeAlert(int argc, char** argv, bool allowed);

}  // namespace tavrino::share

// The module's one entry point; runAuthorizeAlert() resolves it by this name.
extern "C" int tavrino_authorize_alert(int argc, char** argv, bool allowed);
