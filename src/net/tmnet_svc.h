// The services a terminal server offers programs on the client's machine:
// objects and their methods and events, files in both directions and URLs.
// The client's end of objects and files belongs to a graphical client; the
// character client answers only LOAD_URL.
//
// Invariants:
//  - Every length the client sends is bounded before anything is read
//    into a caller's area: a result longer than the area is cut and the
//    rest drained, a name or chunk over 2048 bytes fails the transfer.
//  - A received file reaches its target only whole: it is written beside
//    it under a temporary name and renamed over it after the client's final
//    acknowledgement; a refused or broken transfer leaves the target as it
//    was and no temporary file behind.
//  - Without its feature bit a transfer returns 0 and sends nothing.
//
// All exchanges run on com.rmt_sock. Callers: the run-time routines of the
// statement language (rt_cli_create_object and its kin, rt_send_file,
// rt_recv_file, rt_load_url).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivo {

constexpr uint8_t kElemAlpContig = 1;              // ELEM_ALP_CONTIG: sent as an alpha argument
constexpr uint32_t kArgTypeAlpha = 11;             // the wire's type of an alpha argument
constexpr size_t kTransferChunk = 2048;            // a file chunk and a returned name at most
constexpr uint32_t kMaxTransferFile = 0x7FFFFFFF;  // larger files are refused

enum tmnet_obj_code : uint8_t {
  TMNET_ARG_DESC = 45,
  TMNET_OBJ_REPLY = 46,
  TMNET_METHOD_STATUS = 47,
  TMNET_CREATE_OBJECT = 64,
  TMNET_INVOKE_METHOD = 65,
  TMNET_DESTROY_OBJECT = 66,
  TMNET_SEND_FILE = 71,
  TMNET_RECV_FILE = 73,
};

// One argument of an object request: its element type, length and bytes.
struct tmnet_obj_arg {
  uint8_t type;
  uint32_t len;
  const void* data;
};

// A create or method request. `text` is the prototype or the method text
// without trailing blanks; `result` (may be null when `result_size` is 0)
// takes a method's result, cut to `result_size`.
struct tmnet_obj_req {
  const char* text;
  size_t text_len;
  int argc;
  const tmnet_obj_arg* args;
  uint8_t* result;
  size_t result_size;
  uint8_t handle;  // the object, for methods
};

// The client's result word; the new object's handle in *handle_out. 0 when
// the request cannot travel (text over 65535 bytes, over 255 arguments).
uint32_t tmnet_srv_create_object(const tmnet_obj_req* req, uint32_t* handle_out);
// The client's 4-byte status as it came (no byte-order conversion); 0
// without waiting for a method whose text begins with "void ".
uint32_t tmnet_srv_invoke_method(const tmnet_obj_req* req);
int tmnet_srv_destroy_object(uint8_t handle);
// The event's result word; the raising object's handle in *handle_out.
uint32_t tmnet_srv_wait_for_event(uint32_t* handle_out);

// Copies a local file to the client under the name in `target_name`
// (`target_name_size` bytes, trailing blanks and zeros not part of it); the
// name the client used then replaces it, blank-padded. 1 done, 0 refused
// or failed.
int tmnet_srv_send_file(const char* source_path, char* target_name, size_t target_name_size);
// Copies the client's file named in `source_name` (as above) to
// `target_path`; the name the client used replaces it. 1 done, 0 refused or
// failed (the target then is as it was).
int tmnet_srv_recv_file(char* source_name, const char* target_path, size_t source_name_size);

// Asks the client to open `text`. 1 sent; 0 for a text over 65535 bytes.
int tmnet_srv_load_url(const char* text, size_t len);

}  // namespace kivo
