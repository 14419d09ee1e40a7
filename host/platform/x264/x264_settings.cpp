#include "platform/x264/x264_settings.h"

#include <algorithm>

#include "platform/x264/x264_compression_session.h"

namespace tavrino::share {

namespace {

template <class T>
const T* valueAs(const PropertyValue& value) {
  return std::get_if<T>(&value);
}

// The largest frame the VBV admits is the buffer itself; x264 may overshoot
// its model slightly, so keep a fifth in reserve.
constexpr int kFrameLimitKbit = static_cast<int>(kMaxEncodedFrameBytes * 8 / 1000 * 4 / 5);

constexpr float kScreenRateFactor = 16;

}  // namespace

int vbvBufferKbit(int bitrateKbit) { return std::min(bitrateKbit, kFrameLimitKbit); }

std::int32_t applyProperty(X264Settings& settings, CompressionProperty key,
                           const PropertyValue& value) {
  const bool* flag = valueAs<bool>(value);
  const std::int64_t* number = valueAs<std::int64_t>(value);
  switch (key) {
    case CompressionProperty::realTime:
      if (!flag) return x264status::kParameter;
      settings.realTime = *flag;
      return 0;
    case CompressionProperty::allowFrameReordering:
      if (!flag) return x264status::kParameter;
      settings.allowFrameReordering = *flag;
      return 0;
    case CompressionProperty::profileLevel: {
      const ProfileLevel* level = valueAs<ProfileLevel>(value);
      if (!level || *level != ProfileLevel::h264BaselineAutoLevel) return x264status::kParameter;
      settings.baseline = true;
      return 0;
    }
    case CompressionProperty::averageBitRate:
      // x264 counts in kbit/s and caps its rate at 2^31 kbit/s.
      if (!number || *number < 1000 || *number > 2'000'000'000) return x264status::kParameter;
      settings.averageBitRate = *number;
      return 0;
    case CompressionProperty::expectedFrameRate:
      if (!number || *number < 1 || *number > 1000) return x264status::kParameter;
      settings.expectedFrameRate = *number;
      return 0;
    case CompressionProperty::maxFrameDelayCount:
      if (!number || *number < -1) return x264status::kParameter;
      if (*number == -1) {
        settings.maxFrameDelayCount.reset();
      } else {
        settings.maxFrameDelayCount = *number;
      }
      return 0;
    case CompressionProperty::maxKeyFrameInterval:
      if (!number || *number < 0 || *number > 1'000'000) return x264status::kParameter;
      settings.maxKeyFrameInterval = *number;
      return 0;
  }
  return x264status::kPropertyNotSupported;
}

bool makeX264Parameters(const X264Settings& settings, int width, int height,
                        x264_param_t& params) {
  // Real time trades compression for speed and drops every source of delay.
  const char* preset = settings.realTime ? "veryfast" : "medium";
  const char* tune = settings.realTime ? "zerolatency" : nullptr;
  if (x264_param_default_preset(&params, preset, tune) < 0) return false;

  params.i_log_level = X264_LOG_NONE;  // the helper's stderr belongs to Chrome
  params.i_csp = X264_CSP_NV12;
  params.i_width = width;
  params.i_height = height;
  params.b_annexb = 0;          // 4-byte big-endian NAL lengths instead of start codes
  params.b_repeat_headers = 0;  // SPS and PPS travel once, in the avcC record
  params.analyse.b_mb_info = 1;  // unchanged macroblocks are flagged per picture
  // Captured frames are sRGB converted with the BT.601 matrix to video range;
  // say so, or HD decoders assume BT.709 and shift the colours.
  params.vui.b_fullrange = 0;
  params.vui.i_colorprim = 1;   // BT.709 primaries (sRGB)
  params.vui.i_transfer = 13;   // IEC 61966-2-1 (sRGB)
  params.vui.i_colmatrix = 6;   // SMPTE 170M (BT.601)

  // Timestamps are frame counters; the rate control works from the frame rate.
  if (settings.expectedFrameRate) {
    params.i_fps_num = static_cast<int>(*settings.expectedFrameRate);
    params.i_fps_den = 1;
  }
  params.b_vfr_input = 0;
  params.i_timebase_num = params.i_fps_den;
  params.i_timebase_den = params.i_fps_num;

  if (settings.averageBitRate) {
    // The average is a ceiling, not a target: a constant quality under a VBV
    // cap of the average spends what the picture needs, where the average-rate
    // mode spent by its budget. Variance AQ stays off: on a screen the busy
    // blocks it starves are the text. Factor 16 keeps every text scene within
    // 0.5 dB of that mode (17 lets the desktop fall 0.7). bench/x264's x264_rate_bench,
    // 1080p at 12 fps, 240 frames, average-rate mode -> this:
    //   scene      kbit/s        luma PSNR dB    SSIM            CPU ms/frame
    //   typing     1629 -> 1999  52.9 -> 55.2    .9999 -> .9999   6.6 -> 7.6
    //   scrolling  2251 -> 1877  51.3 -> 52.9    .9999 -> .9998   8.4 -> 8.2
    //   desktop    3174 -> 2669  52.9 -> 52.9    .9998 -> .9998  10.3 -> 10.1
    //   photo      5701 -> 6130  43.4 -> 41.3    .9670 -> .9457  13.8 -> 12.4
    //   video      6054 -> 6127  38.5 -> 39.6    .9494 -> .9366  14.2 -> 14.0
    //   noise      6088 -> 6174 (from a full buffer); at most 9.3 Mbit in 1 s
    const int kbit = static_cast<int>(std::max<std::int64_t>(1, (*settings.averageBitRate + 500) / 1000));
    params.rc.i_rc_method = X264_RC_CRF;
    params.rc.f_rf_constant = kScreenRateFactor;
    params.rc.i_aq_mode = X264_AQ_NONE;
    params.rc.i_vbv_max_bitrate = kbit;
    params.rc.i_vbv_buffer_size = vbvBufferKbit(kbit);
  }
  if (settings.maxKeyFrameInterval) {
    params.i_keyint_max = *settings.maxKeyFrameInterval == 0
                              ? X264_KEYINT_MAX_INFINITE
                              : static_cast<int>(*settings.maxKeyFrameInterval);
    params.i_keyint_min = std::min(params.i_keyint_min, params.i_keyint_max / 2 + 1);
  }
  if (!settings.allowFrameReordering) params.i_bframe = 0;
  if (settings.maxFrameDelayCount) {
    // Frame threads each hold a frame back; slice threads do not.
    const int delay = static_cast<int>(std::min<std::int64_t>(*settings.maxFrameDelayCount, 250));
    params.b_sliced_threads = 1;
    params.i_sync_lookahead = 0;
    params.i_bframe = std::min(params.i_bframe, delay);
    params.rc.i_lookahead = std::min(params.rc.i_lookahead, delay);
    if (params.rc.i_lookahead == 0) params.rc.b_mb_tree = 0;
  }
  if (settings.baseline) {
    params.i_level_idc = -1;  // automatic level
    if (x264_param_apply_profile(&params, "baseline") < 0) return false;
  }
  return true;
}

}  // namespace tavrino::share
