// tavrik-x-resources PID: how many X resources (windows, pixmaps, GCs, fonts, shared-memory
// segments, ...) the clients of local process PID hold on $DISPLAY, as one number on standard
// output. The soak samples the worker with it; the X-Resource extension tells which client
// belongs to which process, which xrestop does not for windowless clients. Exit 1 without a
// server or the extension.
#include <xcb/res.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s PID\n", argv[0]);
    return 2;
  }
  const std::uint32_t pid = static_cast<std::uint32_t>(std::stoul(argv[1]));
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(c)) return 1;
  Reply<xcb_res_query_version_reply_t> version(
      xcb_res_query_version_reply(c, xcb_res_query_version(c, 1, 2), nullptr));
  if (!version) return 1;

  // Every client's resource base with its process id.
  xcb_res_client_id_spec_t all{0, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
  Reply<xcb_res_query_client_ids_reply_t> ids(
      xcb_res_query_client_ids_reply(c, xcb_res_query_client_ids(c, 1, &all), nullptr));
  if (!ids) return 1;
  std::uint64_t total = 0;
  int clients = 0;
  for (auto it = xcb_res_query_client_ids_ids_iterator(ids.get()); it.rem > 0;
       xcb_res_client_id_value_next(&it)) {
    if (xcb_res_client_id_value_value_length(it.data) != 1 ||
        *xcb_res_client_id_value_value(it.data) != pid) {
      continue;
    }
    ++clients;
    Reply<xcb_res_query_client_resources_reply_t> resources(xcb_res_query_client_resources_reply(
        c, xcb_res_query_client_resources(c, it.data->spec.client), nullptr));
    if (!resources) continue;
    for (auto type = xcb_res_query_client_resources_types_iterator(resources.get()); type.rem > 0;
         xcb_res_type_next(&type)) {
      total += type.data->count;
    }
  }
  std::printf("%llu\n", static_cast<unsigned long long>(total));
  xcb_disconnect(c);
  return clients > 0 ? 0 : 1;
}
