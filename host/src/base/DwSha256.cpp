#include "host/base/DwSha256.h"

#include <openssl/evp.h>

#include <memory>

CZuError DwSha256Hex(std::initializer_list<std::string_view> pieces, std::string* hex) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  bool ok = ctx != nullptr && EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) == 1;
  for (std::string_view piece : pieces)
    ok = ok && EVP_DigestUpdate(ctx.get(), piece.data(), piece.size()) == 1;
  ok = ok && EVP_DigestFinal_ex(ctx.get(), md, &len) == 1;
  if (!ok) return FXErrorUtil::ErrorInt(FXLOC, 1, "Couldn't compute a SHA-256 digest");
  static const char kDigits[] = "0123456789abcdef";
  hex->assign(2 * len, '0');
  for (unsigned int i = 0; i < len; ++i) {
    (*hex)[2 * i] = kDigits[md[i] >> 4];
    (*hex)[2 * i + 1] = kDigits[md[i] & 0xF];
  }
  return CZuError();
}
