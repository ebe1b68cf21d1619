// Oracle character-set ids and names, and conversion between them through the C
// library's iconv. Converters are opened once per pair and kept for the thread.
// Characters that the target cannot represent become '?', as Oracle substitutes them.
#include <iconv.h>
#include <strings.h>

#include <cerrno>
#include <map>
#include <utility>

#include "sim/oci/sim.h"

namespace orasim {

namespace {

struct Charset {
  ub2 id;
  const char *name;
  const char *iconv_name;
  int maxbytes;
};

const Charset kCharsets[] = {
    {1, "US7ASCII", "ASCII", 1},           {2, "WE8DEC", "DEC-MCS", 1},        {31, "WE8ISO8859P1", "ISO-8859-1", 1},
    {32, "EE8ISO8859P2", "ISO-8859-2", 1}, {178, "WE8MSWIN1252", "CP1252", 1}, {830, "JA16EUC", "EUC-JP", 3},
    {832, "JA16SJIS", "SHIFT_JIS", 2},     {846, "KO16MSWIN949", "CP949", 2},  {852, "ZHS16GBK", "GBK", 2},
    {854, "ZHS32GB18030", "GB18030", 4},   {865, "ZHT16BIG5", "BIG5", 2},      {871, "UTF8", "UTF-8", 3},
    {873, "AL32UTF8", "UTF-8", 4},         {1000, "UTF16", "UTF-16BE", 2},     {2000, "AL16UTF16", "UTF-16BE", 2},
    {2002, "AL16UTF16LE", "UTF-16LE", 2},
};

const Charset *find(ub2 id) {
  for (const Charset &c : kCharsets)
    if (c.id == id) return &c;
  return nullptr;
}

struct Converters {
  std::map<std::pair<ub2, ub2>, iconv_t> open;
  ~Converters() {
    for (auto &kv : open) iconv_close(kv.second);
  }
};

}  // namespace

const char *charset_name(ub2 id) {
  const Charset *c = find(id);
  return c != nullptr ? c->name : nullptr;
}

ub2 charset_id(const char *name) {
  if (name == nullptr) return 0;
  for (const Charset &c : kCharsets)
    if (strcasecmp(c.name, name) == 0) return c.id;
  return 0;
}

int charset_maxbytes(ub2 id) {
  const Charset *c = find(id);
  return c != nullptr ? c->maxbytes : 1;
}

bool charset_is_utf8(ub2 id) { return id == 871 || id == 873; }

int charset_convert(ub2 from, ub2 to, const void *src, size_t n, std::string *out) {
  const Charset *f = find(from), *t = find(to);
  if (f == nullptr || t == nullptr) return -1;
  const char *in = static_cast<const char *>(src);
  bool ascii = true;
  for (size_t k = 0; k < n && ascii; k++) ascii = static_cast<unsigned char>(in[k]) < 0x80;
  bool ascii_compatible_to = to != 1000 && to != 2000 && to != 2002;
  bool ascii_compatible_from = from != 1000 && from != 2000 && from != 2002;
  if (strcasecmp(f->iconv_name, t->iconv_name) == 0 || (ascii && ascii_compatible_from && ascii_compatible_to)) {
    out->assign(in, n);
    return 0;
  }
  thread_local Converters conv;
  auto key = std::make_pair(from, to);
  auto it = conv.open.find(key);
  if (it == conv.open.end()) {
    iconv_t cd = iconv_open(t->iconv_name, f->iconv_name);
    if (cd == reinterpret_cast<iconv_t>(-1)) return -1;
    it = conv.open.emplace(key, cd).first;
  }
  iconv_t cd = it->second;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  out->clear();
  char buf[4096];
  char *ip = const_cast<char *>(in);
  size_t il = n;
  while (il > 0) {
    char *op = buf;
    size_t ol = sizeof buf;
    size_t rc = iconv(cd, &ip, &il, &op, &ol);
    out->append(buf, static_cast<size_t>(op - buf));
    if (rc != static_cast<size_t>(-1)) continue;
    if (errno == E2BIG) continue;
    // An invalid or unrepresentable character: substitute and skip one input unit.
    size_t unit = ascii_compatible_from ? 1 : 2;
    if (charset_is_utf8(from))  // the whole character: its continuation bytes too
      while (unit < il && (static_cast<unsigned char>(ip[unit]) & 0xC0) == 0x80) unit++;
    if (unit > il) unit = il;
    if (ascii_compatible_to) {
      out->push_back('?');
    } else {
      static const char q16be[] = {0, '?'}, q16le[] = {'?', 0};
      out->append(to == 2002 ? q16le : q16be, 2);
    }
    ip += unit;
    il -= unit;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  return 0;
}

}  // namespace orasim
