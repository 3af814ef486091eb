// Replies on the control connection, and the paths and ports they carry.
#include "platform/inet/ftpproto.h"

#include <string>

namespace plat::ftpproto {

std::string Reply::Text() const {
  std::string s;
  for (const auto& l : lines) {
    s += l;
    s += "\r\n";
  }
  return s;
}

ReplyReader::Result ReplyReader::Take(Reply& out) {
  for (;;) {
    std::size_t lf = buf_.find('\n');
    if (lf == std::string::npos) return buf_.size() > kMaxLine ? Result::Bad : Result::NeedMore;
    if (lf > kMaxLine) return Result::Bad;
    std::string line = buf_.substr(0, lf);
    buf_.erase(0, lf + 1);
    partial_.wireBytes += lf + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    auto isCode = [](const std::string& l) {
      return l.size() >= 3 && l[0] >= '1' && l[0] <= '5' && l[1] >= '0' && l[1] <= '9' && l[2] >= '0' && l[2] <= '9';
    };
    if (!inMulti_) {
      if (!isCode(line)) return Result::Bad;
      partial_.code = std::stoi(line.substr(0, 3));
      partial_.lines.push_back(line);
      if (line.size() > 3 && line[3] == '-') {
        inMulti_ = true;
        continue;
      }
    } else {
      partial_.lines.push_back(line);
      if (partial_.lines.size() > kMaxReplyLines) return Result::Bad;
      bool last = isCode(line) && std::stoi(line.substr(0, 3)) == partial_.code && (line.size() == 3 || line[3] == ' ');
      if (!last) continue;
    }
    out = std::move(partial_);
    partial_ = Reply{};
    inMulti_ = false;
    return Result::Done;
  }
}

std::string ParsePwdReply(const Reply& r) {
  if (r.lines.empty()) return "";
  const std::string& l = r.lines.front();
  std::string text = l.size() > 4 ? l.substr(4) : "";
  std::size_t q = text.find('"');
  if (q == std::string::npos) {
    std::size_t b = text.find_first_not_of(' ');
    std::size_t e = text.find(' ', b == std::string::npos ? 0 : b);
    return b == std::string::npos ? "" : text.substr(b, e == std::string::npos ? std::string::npos : e - b);
  }
  std::string path;
  for (std::size_t i = q + 1; i < text.size(); ++i) {
    if (text[i] == '"') {
      if (i + 1 < text.size() && text[i + 1] == '"') {
        path += '"';
        ++i;
        continue;
      }
      break;
    }
    path += text[i];
  }
  return path;
}

bool ParsePasvPort(const std::string& text, int& port) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!(text[i] >= '0' && text[i] <= '9') || (i > 0 && text[i - 1] >= '0' && text[i - 1] <= '9')) continue;
    int v[6];
    std::size_t p = i;
    int k = 0;
    for (; k < 6; ++k) {
      std::size_t b = p;
      int num = 0;
      while (p < text.size() && text[p] >= '0' && text[p] <= '9' && p - b < 3) num = num * 10 + (text[p++] - '0');
      if (p == b || num > 255) break;
      v[k] = num;
      if (k < 5) {
        if (p >= text.size() || text[p] != ',') break;
        ++p;
      }
    }
    if (k == 6) {
      port = v[4] * 256 + v[5];
      return port > 0;
    }
  }
  return false;
}

bool ParseEpsvPort(const std::string& text, int& port) {
  std::size_t open = text.find('(');
  if (open == std::string::npos || open + 5 > text.size()) return false;
  char d = text[open + 1];
  if (text[open + 2] != d || text[open + 3] != d) return false;
  std::size_t p = open + 4;
  long num = 0;
  std::size_t b = p;
  while (p < text.size() && text[p] >= '0' && text[p] <= '9' && p - b < 5) num = num * 10 + (text[p++] - '0');
  if (p == b || p >= text.size() || text[p] != d || num < 1 || num > 65535) return false;
  port = static_cast<int>(num);
  return true;
}

bool ListingReplySaysUnread(const Reply& r) {
  static const char* const kSayings[] = {"failed to open directory", "unable to read"};
  for (const std::string& line : r.lines) {
    std::string lower = line;
    for (char& c : lower)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    for (const char* saying : kSayings)
      if (lower.find(saying) != std::string::npos) return true;
  }
  return false;
}

}  // namespace plat::ftpproto
