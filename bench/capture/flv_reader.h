#pragma once

#include <string>

namespace tavrino::bench {

// Records the H.264 stream of an FLV file arriving on standard input (ffmpeg
// writing to a pipe, one tag per packet): the sequence header as the
// configuration, every NAL-unit tag as a frame, each stamped when its last
// byte arrived. 0 when the stream held frames and ended cleanly.
int recordFlv(const std::string& out);

}  // namespace tavrino::bench
