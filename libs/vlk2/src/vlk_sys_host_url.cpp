// VlkGetURL: a one-shot HTTP(S) GET through libcurl that keeps the first piece
// of the content.
#include <curl/curl.h>

#include <cstring>
#include <mutex>

#include "vlk_sys.h"

namespace {

constexpr long kConnectTimeoutS = 30;
constexpr long kTotalTimeoutS = 60;
constexpr std::size_t kPiece = 63;

// The content is cut into consecutive pieces of 63 bytes; the first piece that
// does not start with a NUL is the reply (up to its own first NUL).
struct PieceReader {
  char piece[kPiece + 1];
  std::size_t fill = 0;
  bool found = false;
  Cvlk_tmp_str* reply = nullptr;

  // False once the reply is found: the rest of the content is not wanted.
  bool take() {
    piece[fill] = '\0';
    fill = 0;
    if (piece[0] == '\0') return true;
    reply->init(piece);
    found = true;
    return false;
  }
};

std::size_t OnData(char* data, std::size_t size, std::size_t count, void* user) {
  auto* r = static_cast<PieceReader*>(user);
  std::size_t total = size * count;
  for (std::size_t i = 0; i < total; ++i) {
    r->piece[r->fill++] = data[i];
    if (r->fill == kPiece && !r->take()) return 0;  // ends the transfer
  }
  return total;
}

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

EerrNo VlkGetURL(const char* url, Cvlk_tmp_str& reply) {
  if (VlkStrLenZero(url)) return ERR_INVALID_PARAM;
  GlobalInit();
  CURL* curl = curl_easy_init();
  if (curl == nullptr) return ERR_FAIL;
  Cvlk_tmp_str got;
  PieceReader reader;
  reader.reply = &got;
  curl_easy_setopt(curl, CURLOPT_URL, url);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, "InetURL/1.0");
  // libcurl takes the proxy from the environment (http_proxy, https_proxy,
  // no_proxy) unless told otherwise.
#if LIBCURL_VERSION_NUM >= 0x075500
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
#endif
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutS);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, kTotalTimeoutS);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);  // no SIGALRM in a threaded process
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &OnData);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reader);
  CURLcode rc = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(curl);
  // An error page is not the content asked for.
  if (status >= 400) return ERR_FAIL;
  // The content ended inside a piece: that last, shorter piece counts too.
  if (!reader.found && rc == CURLE_OK && reader.fill > 0) reader.take();
  if (!reader.found) return ERR_FAIL;
  reply = got;
  return ERR_OK;
}

int VlkGetURL(const char* url) {
  Cvlk_tmp_str reply;
  if (VlkGetURL(url, reply) != ERR_OK || reply.getStrLen() == 0) return -268435458;
  return VlkStrToInt(reply.c_str());
}
