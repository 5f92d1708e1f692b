#include "calls/upload_mp3.hpp"

#include <opusfile.h>

#include <memory>
#include <stdexcept>
#include <vector>

#include "audio/listen_encoder.hpp"

namespace quillon::calls {

std::string opus_file_to_mp3(const std::filesystem::path& opus) {
  int err = 0;
  std::unique_ptr<OggOpusFile, decltype(&op_free)> in(op_open_file(opus.c_str(), &err), &op_free);
  if (!in) throw std::runtime_error("cannot decode " + opus.filename().string() + " (opusfile error " + std::to_string(err) + ")");
  auto enc = audio::make_encoder(audio::ListenFormat::Mp3, {kUploadMp3Kbps, kUploadMp3Rate});
  std::string out;
  const audio::FormatEncoder::Emit emit = [&out](std::span<const std::uint8_t> unit) {
    out.append(reinterpret_cast<const char*>(unit.data()), unit.size());
  };
  // Decoded at 48 kHz; a stereo file is mixed down.
  std::vector<opus_int16> pcm(5760 * 2), mono(5760);
  for (;;) {
    const int n = op_read_stereo(in.get(), pcm.data(), static_cast<int>(pcm.size()));
    if (n == OP_HOLE) continue;
    if (n < 0) throw std::runtime_error("cannot decode " + opus.filename().string() + " (opusfile error " + std::to_string(n) + ")");
    if (n == 0) break;
    for (int i = 0; i < n; ++i) mono[static_cast<std::size_t>(i)] = static_cast<opus_int16>((pcm[2 * i] + pcm[2 * i + 1]) / 2);
    enc->encode(mono.data(), static_cast<std::size_t>(n), 48000, emit);
    if (out.size() > (64u << 20)) throw std::runtime_error("the MP3 of " + opus.filename().string() + " is too large");
  }
  enc->finish(emit);
  return out;
}

}  // namespace quillon::calls
