#pragma once
// The operator console's page: every file of the web folder, embedded at build time.

#include <span>
#include <string_view>

namespace quillon::web {

struct Asset {
  std::string_view path;  // relative to the web folder: "index.html", "js/app.js"
  std::string_view data;
  std::string_view gzip;  // empty when compressing does not pay
  std::string_view etag;  // quoted content hash
};

std::span<const Asset> assets();

}  // namespace quillon::web
