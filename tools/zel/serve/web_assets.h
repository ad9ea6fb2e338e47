// The page's files, embedded into zel at build time (web_assets.cpp is generated from web/).
#pragma once

#include <cstddef>

namespace zelhost::serve {

struct WebAsset {
  const char* path;  // "/app.js"
  const char* content_type;
  const unsigned char* data;
  std::size_t size;
};

extern const WebAsset kWebAssets[];
extern const std::size_t kWebAssetCount;

// The file for a request path ("/" is the page), or null.
const WebAsset* FindWebAsset(const char* path);

}  // namespace zelhost::serve
