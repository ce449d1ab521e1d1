// The live page's files, compiled in by view/embed.cmake (page.html, page.css, page.js, and
// plot_mm.js, the mm plot put before page.js).
#pragma once

#include <string_view>

namespace view::assets {
extern const unsigned char page_html[];
extern const unsigned long page_html_size;
extern const unsigned char page_css[];
extern const unsigned long page_css_size;
extern const unsigned char page_js[];
extern const unsigned long page_js_size;
extern const unsigned char plot_mm_js[];
extern const unsigned long plot_mm_js_size;

inline std::string_view Text(const unsigned char* bytes, unsigned long size) {
  return {reinterpret_cast<const char*>(bytes), size};
}
}  // namespace view::assets
