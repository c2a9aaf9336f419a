#include "python/prefix_search.hpp"
#include "python_common/search_calls.hpp"

namespace quillomar::py {

PyObject* FuzzyMatchVideo(PyObject* self, PyObject* const* args,
                          Py_ssize_t nargsf, PyObject* kwnames) {
  return Guarded([&]() -> PyObject* {
    return FuzzyMatchVideoCall(
        self, args, nargsf, kwnames, IndexOf,
        [](const SearchIndex& index, std::span<const uint32_t> query,
           const VideoQuery& options) {
          return RankVideos(index, query, options);
        },
        [](const SearchIndex& index, uint32_t video, char* out) {
          return IdentifierText(index.trie(), video, out);
        });
  });
}

}  // namespace quillomar::py
