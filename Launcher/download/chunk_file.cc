#include "download/chunk_file.h"

#include <windows.h>

#include <exception>
#include <memory>
#include <set>

#include <json/json.h>

#include "app/file_util.h"
#include "app/system_util.h"
#include "base/text_util.h"

namespace {

struct HandleCloser {
  void operator()(HANDLE h) const {
    if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};
using ScopedHandle = std::unique_ptr<void, HandleCloser>;

bool ReadRange(const Json::Value& item, ChunkRange& range) {
  if (!item.isObject()) return false;
  const Json::Value& index = item["index"];
  const Json::Value& begin = item["begin"];
  const Json::Value& end = item["end"];
  if (!index.isInt() || !begin.isInt() || !end.isInt()) return false;
  range.index = index.asInt();
  range.begin = begin.asInt();
  range.end = end.asInt();
  return true;
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

}  // namespace

ChunkList CutIntoChunks(int size) {
  ChunkList chunks;
  if (size <= 0) return chunks;
  int index = 0;
  for (int64_t begin = 0; begin < size; begin += kChunkSize, ++index) {
    const int64_t end = std::min<int64_t>(begin + kChunkSize, size) - 1;
    chunks.push_back({index, static_cast<int>(begin), static_cast<int>(end)});
  }
  return chunks;
}

bool RangesFitFile(const ChunkList& ranges, int size) {
  if (size <= 0) return false;
  std::set<int> seen;
  for (const ChunkRange& r : ranges) {
    if (r.index < 0 || r.begin < 0 || r.begin > r.end || r.end >= size) return false;
    const int64_t chunk_begin = static_cast<int64_t>(r.index) * kChunkSize;
    const int64_t chunk_end = std::min<int64_t>(chunk_begin + kChunkSize, size) - 1;
    if (r.begin < chunk_begin || r.end != chunk_end) return false;
    if (!seen.insert(r.index).second) return false;
  }
  return true;
}

std::string ResumeFilePath(const std::string& localFile) { return localFile + ".cfg"; }

std::wstring WidePath(const std::string& path) {
  std::wstring wide;
  TextUtil::MultiByteToWide(path, wide, CP_ACP);
  return wide;
}

bool ReadResumeFile(const std::string& localFile, const std::string& md5, ChunkList& out) {
  out.clear();
  const std::wstring resume = WidePath(ResumeFilePath(localFile));
  std::string text;
  if (!ReadFileTextW(resume, text)) return false;
  Json::Value root;
  std::string error;
  if (!ParseJson(text, root, error)) return false;
  try {
    if (root.isObject() && root["md5"].isString() && root["md5"].asString() == md5 &&
        root["infoList"].isArray()) {
      for (const Json::Value& item : root["infoList"]) {
        ChunkRange range;
        if (ReadRange(item, range) && range.end >= range.begin) out.push_back(range);
      }
    }
  } catch (const std::exception&) {
    out.clear();
  }
  if (!out.empty()) return true;
  DeleteFileIfPresent(localFile);
  DeleteFileIfPresent(ResumeFilePath(localFile));
  return false;
}

bool WriteResumeFile(const std::string& localFile, const std::string& md5, const ChunkList& ranges,
                     bool fresh) {
  const std::wstring resume = WidePath(ResumeFilePath(localFile));
  std::wstring folder, name;
  if (SplitPathW(resume, folder, name) && !IsDirW(folder)) MakeDirsW(folder);
  try {
    Json::Value root(Json::objectValue);
    root["md5"] = md5;
    Json::Value list(Json::arrayValue);
    for (const ChunkRange& r : ranges) {
      Json::Value item(Json::objectValue);
      item["begin"] = r.begin;
      item["end"] = r.end;
      item["index"] = r.index;
      list.append(item);
    }
    root["infoList"] = list;
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "\t";
    const std::string text = Json::writeString(builder, root);
    if (fresh) {
      ScopedHandle file(CreateFileW(resume.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
      if (file.get() != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        return WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written,
                         nullptr) &&
               written == text.size();
      }
    }
    return WriteFileTextW(resume, text);
  } catch (const std::exception&) {
    return false;
  }
}

bool ResumeFileMatchesMd5(const std::string& localFile, const std::string& md5) {
  std::string text;
  if (!ReadFileTextW(WidePath(ResumeFilePath(localFile)), text)) return false;
  Json::Value root;
  std::string error;
  if (!ParseJson(text, root, error) || !root.isObject()) return false;
  const Json::Value& value = root["md5"];
  return value.isString() && value.asString() == md5;
}

bool IsWritableLocalPath(const std::string& localFile) {
  std::wstring path = WidePath(localFile);
  if (path.empty() || path.find(L'\0') != std::wstring::npos) return false;
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  std::wstring root;
  std::wstring candidate = path;
  if (path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\') {
    // "\\server\share" is the root of a network path.
    const size_t server_end = path.find(L'\\', 2);
    if (server_end == std::wstring::npos || server_end == 2) return false;
    size_t share_end = path.find(L'\\', server_end + 1);
    if (share_end == std::wstring::npos || share_end == server_end + 1) return false;
    root = path.substr(0, share_end);
  } else if (path.size() >= 2 && path[1] == L':') {
    // "C:name" would be relative to that drive's current folder.
    if (path.size() < 3 || !IsSeparator(path[2])) return false;
    root = path.substr(0, 2);
  } else if (IsSeparator(path[0])) {
    return false;
  } else {
    root = L".";
    if (path.compare(0, 2, L".\\") != 0) candidate = L".\\" + path;
  }
  return PathLiesUnder(root, candidate) && !IsSeparator(candidate.back());
}

bool CutFileToSize(const std::string& localFile, int64_t size, bool* existed, int64_t* sizeBefore) {
  const std::wstring path = WidePath(localFile);
  std::wstring folder, name;
  if (SplitPathW(path, folder, name) && !IsDirW(folder)) MakeDirsW(folder);
  ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) return false;
  if (existed != nullptr) *existed = GetLastError() == ERROR_ALREADY_EXISTS;
  LARGE_INTEGER current;
  if (!GetFileSizeEx(file.get(), &current)) return false;
  if (sizeBefore != nullptr) *sizeBefore = current.QuadPart;
  if (current.QuadPart <= size) return true;
  LARGE_INTEGER target;
  target.QuadPart = size;
  return SetFilePointerEx(file.get(), target, nullptr, FILE_BEGIN) && SetEndOfFile(file.get());
}

bool DeleteFileIfPresent(const std::string& localFile) {
  const std::wstring path = WidePath(localFile);
  if (DeleteFileW(path.c_str())) return true;
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}
