// The graphical client's requests over loopback: the tool harness serves a
// peer that plays the remote-terminal client byte by byte. While the image
// editor's show waits for its answer, the peer asks for the lists and adds
// an item, then answers with key 101 on a free cell, OPTION 16 and END.
#include <sys/wait.h>

#include "../fixtures/hook_override.h"
#include "../net/net_peer.h"
#include "compiler/design_records.h"
#include "ie_install.h"
#include "screen/tm_keys.h"

namespace kivo::test {
namespace {

// Application DEM gets the images and a file whose fields' names sort
// otherwise than their order in the file. No key holds the number 10.
constexpr const char* kImages = R"(APPLICATION DEM 01
WORK "IET NAME" A20
WORK IETADDED A8
FILE IETFILE
  IETZ  A4 key=primary
  IETA  A2
  IETM  P5
END
PROCESS 2 IES
FRAME 2 IES 0 1
IMAGE 2 IES 0 1 1 kind=1 rows=12 cols=80
ROW 2 IES 0 1 1 1 "Customer maintenance"
ROW 2 IES 0 1 1 2 "Name:"
ITEM 2 IES 0 1 1 2 8 ap=DEM field="IET NAME"
)";

// The harness in image mode as the server, on the installation in `d`.
struct harness {
  const kivo_test::data_dir& d;
  pid_t pid = -1;
  void start(int sock, const char*) {
    const std::string p = d.path;
    pid = spawn({"/usr/bin/env", "TERM=screen", "KIVOPATH=" + p, "KIVO_0SA_PATH=" + p, "KIVO_TST_DIR=" + p,
                 "KIVO_SYS_ERR_LOG=" + p + "/syserr", KIVO_TOOLTEST, "-d=DB1", "-a=0LA", "-t=subroutine", "-p=IET_RUN",
                 "-f=" + std::to_string(sock)},
                -1, false);
  }
  int status() {
    const int st = reap(pid);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
};

// A list request's answer: the header's code, then each row up to the end
// row (whose first `end_zeros` bytes are zero).
struct listed {
  uint8_t code = 0;
  std::vector<std::string> rows;
  bool ended = false;
};
listed ask_list(peer& p, uint8_t code, const std::string& payload, size_t width, size_t end_zeros) {
  p.put(cat(header(code, uint32_t(payload.size())), bytes(payload.begin(), payload.end())));
  listed out;
  const bytes h = p.take(8);
  if (h.size() != 8 || ld_be32(h.data(), 0) != 0) return out;
  out.code = h[4];
  for (bytes r; (r = p.take(width)).size() == width;) {
    if (std::all_of(r.begin(), r.begin() + long(end_zeros), [](uint8_t b) { return b == 0; })) {
      out.ended = true;
      break;
    }
    out.rows.emplace_back(r.begin(), r.end());
  }
  return out;
}

std::string pad(std::string s, size_t n) { return s.append(n - s.size(), ' '); }

TEST(ImageClientLoopback, ListsAndAnAddedItemWhileTheEditorWaits) {
  kivo_test::data_dir d;
  write_installation(d, {kImages, kIeRun});
  harness h{d};
  peer p;
  listed apps, files, fields;
  int step = 0;
  p.o.on_show = [&](peer& q, bytes& block) {
    if (step == 0 && q.screen.find("Customer maintenance") == std::string::npos) return;
    const uint32_t keys[] = {101, 16, LK_END};
    if (step == 0) {
      apps = ask_list(q, 28, "", 33, 3);
      files = ask_list(q, 29, "DEM", 39, 4);
      fields = ask_list(q, 49, "DEMIETFILE ", 53, 4);
      const std::string item = "DEM" + pad("IETADDED", 22) + "  ";
      q.put(cat(header(70, uint32_t(item.size())), bytes(item.begin(), item.end())));
      st_be32(block.data(), 12, 7), st_be32(block.data(), 16, 12);  // the free cell (7, 12)
    }
    if (step < 3) st_be32(block.data(), 28, keys[step++]);
  };
  EXPECT_EQ(serve(h, p), 0);
  EXPECT_EQ(step, 3);
  EXPECT_EQ(kivo_test::slurp(d.file("syserr")), "");

  EXPECT_EQ(apps.code, 28);
  EXPECT_TRUE(apps.ended);
  // The editor's version "01", and the runtime application whatever its version.
  EXPECT_EQ(apps.rows,
            (std::vector<std::string>{"0LA" + pad("Kivo Runtime", 30), "DEM" + pad("Customer demonstration", 30)}));
  EXPECT_EQ(files.code, 29);
  EXPECT_TRUE(files.ended);
  // Each file: its name, the name again for a blank description, its file-system byte.
  EXPECT_EQ(files.rows, (std::vector<std::string>{pad("ACCOUNT", 8) + pad("ACCOUNT", 30) + '\1',
                                                  "CUSTOMER" + pad("CUSTOMER", 30) + '\1',
                                                  pad("IETFILE", 8) + pad("IETFILE", 30) + '\1',
                                                  pad("RESTREQ", 8) + pad("RESTREQ", 30) + std::string(1, '\0')}));
  EXPECT_EQ(fields.code, 49);
  EXPECT_TRUE(fields.ended);
  EXPECT_EQ(fields.rows, (std::vector<std::string>{pad("IETZ", 22) + pad("IETZ", 30) + '\x09',
                                                   pad("IETA", 22) + pad("IETA", 30) + '\x09',
                                                   pad("IETM", 22) + pad("IETM", 30) + '\x0a'}));

  std::map<std::string, std::pair<uint32_t, uint32_t>> items;
  for (const std::string& r : exported(d, "DEM", "ITEM", "\2IES")) {
    const auto* b = reinterpret_cast<const uint8_t*>(r.data());
    std::string field = r.substr(IT_AP, 3) + r.substr(IT_FIELD, 22);
    field.erase(field.find_last_not_of(' ') + 1);
    items[field] = {ld_le32(b, RI_ROW), ld_le32(b, RI_COL)};
  }
  const std::map<std::string, std::pair<uint32_t, uint32_t>> want{{"DEMIET NAME", {2, 8}}, {"DEMIETADDED", {7, 12}}};
  EXPECT_EQ(items, want);
}

}  // namespace
}  // namespace kivo::test
