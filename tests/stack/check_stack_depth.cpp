// Worst-case stack depth of one Jpeg_EncodeStart call, from the call graphs
// and frame sizes GCC writes with -fcallgraph-info=su (one .ci file beside
// each library object). Direct calls come from the compiler. Calls through
// function pointers are stated by hand below, by the file of the call site.
// Prints the deepest chain and fails when it exceeds the limit, when a frame
// has no static size, when recursion is possible, or when the encoder calls
// an outside function other than the C library's memory routines.
//
// Usage: check_stack_depth OBJECT_DIR LIMIT_BYTES
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

struct Function {
  std::string name;  // demangled
  std::string file;  // base name of the defining source
  long bytes = -1;   // static frame size, return address included
  bool bounded = true;
};

struct Edge {
  std::string to;
  std::string site;  // base name of the call site's source file
};

std::map<std::string, Function> functions;     // by symbol
std::map<std::string, std::vector<Edge>> calls;  // by caller symbol

std::string Field(const std::string& line, const std::string& key) {
  const std::size_t at = line.find(key + ": \"");
  if (at == std::string::npos) return {};
  const std::size_t start = at + key.size() + 3;
  return line.substr(start, line.find('"', start) - start);
}

std::string BaseName(const std::string& location) {  // "dir/file.cpp:12:3" -> "file.cpp"
  const std::string path = location.substr(0, location.find(':'));
  return path.substr(path.rfind('/') + 1);
}

void ReadGraph(const std::filesystem::path& file) {
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("node:", 0) == 0) {
      const std::string title = Field(line, "title");
      const std::string label = Field(line, "label");
      // label: name\nfile:line:col[\nN bytes (static|dynamic|bounded)]
      const std::size_t first = label.find("\\n");
      const std::size_t second = label.find("\\n", first + 2);
      if (first == std::string::npos || second == std::string::npos) {
        if (!functions.count(title)) functions[title].name = label.substr(0, first);
        continue;  // declared here, defined elsewhere or outside
      }
      Function& f = functions[title];
      f.name = label.substr(0, first);
      f.file = BaseName(label.substr(first + 2, second - first - 2));
      const std::string usage = label.substr(second + 2);
      f.bytes = std::max(f.bytes, std::stol(usage));
      // "dynamic,bounded": the frame varies (pushes for outgoing arguments) but
      // the figure given is its maximum.
      f.bounded = usage.find("(static)") != std::string::npos || usage.find("bounded") != std::string::npos;
    } else if (line.rfind("edge:", 0) == 0) {
      calls[Field(line, "sourcename")].push_back(Edge{Field(line, "targetname"), BaseName(Field(line, "label"))});
    }
  }
}

// What a call through a pointer can reach, by the file the call sits in:
//   scan_driver.cpp  the state's fetchMcu (the MCU readers) and the sink's
//                    slots (FlushBits, WriteWord)
//   block_coder.cpp  the state's encodeBlock (EncodeBlock)
//   mcu_readers.cpp  the state's assembleMcu and the source's ReadByte
//   the frame, table and set-up writers and the streams themselves: the
//                    stream slots
bool IsStreamOp(const Function& f) {
  return (f.file == "memory_stream.cpp" || f.file == "counting_stream.cpp") && f.name.find("Init") == std::string::npos;
}
const std::map<std::string, std::vector<bool (*)(const Function&)>> IndirectTargets = {
    {"scan_driver.cpp",
     {IsStreamOp, [](const Function& f) { return f.file == "mcu_readers.cpp" && f.name.find("ReadMcu") != std::string::npos; }}},
    {"block_coder.cpp", {[](const Function& f) { return f.name.find("dibjpeg::EncodeBlock(") != std::string::npos; }}},
    {"mcu_readers.cpp",
     {IsStreamOp, [](const Function& f) { return f.file == "mcu_assembly.cpp" && f.name.find("AssembleMcu") != std::string::npos; }}},
    {"frame_writer.cpp", {IsStreamOp}},
    {"quant_tables.cpp", {IsStreamOp}},
    {"huffman_tables.cpp", {IsStreamOp}},
    {"setup.cpp", {IsStreamOp}},
    {"memory_stream.cpp", {IsStreamOp}},
    {"counting_stream.cpp", {IsStreamOp}},
};

// Outside functions the encoder may call, and the stack each is allowed.
const std::map<std::string, long> Outside = {
    {"memcpy", 64}, {"__builtin_memcpy", 64}, {"memset", 64}, {"__builtin_memset", 64},
    {"memmove", 64}, {"__builtin_memmove", 64}, {"__assert_fail", 512}};

std::vector<std::string> errors;

// A complete-object constructor or destructor (C1, D1) is often emitted as an
// alias of the base-object one (C2, D2), which is the one the graph defines.
std::string ResolveAlias(const std::string& symbol) {
  if (functions[symbol].bytes >= 0) return symbol;
  for (const auto& [alias, real] : {std::pair{"C1E", "C2E"}, std::pair{"D1E", "D2E"}}) {
    std::string candidate = symbol;
    if (const std::size_t at = candidate.rfind(alias); at != std::string::npos) {
      candidate.replace(at, 3, real);
      if (functions.count(candidate) && functions[candidate].bytes >= 0) return candidate;
    }
  }
  return symbol;
}

std::vector<std::string> Targets(const std::string& caller) {
  std::vector<std::string> out;
  for (const Edge& e : calls[caller]) {
    if (e.to != "__indirect_call") {
      out.push_back(ResolveAlias(e.to));
      continue;
    }
    const auto rule = IndirectTargets.find(e.site);
    if (rule == IndirectTargets.end()) {
      errors.push_back("indirect call in " + e.site + " from " + functions[caller].name + ": state its targets");
      continue;
    }
    for (const auto& [symbol, f] : functions) {
      for (auto matches : rule->second) {
        if (f.bytes >= 0 && matches(f)) {
          out.push_back(symbol);
          break;
        }
      }
    }
  }
  return out;
}

std::map<std::string, long> depth;  // memo: deepest stack from this function down
std::map<std::string, std::string> deepestCallee;
std::set<std::string> active;

long Depth(const std::string& symbol) {
  if (const auto it = depth.find(symbol); it != depth.end()) return it->second;
  const Function& f = functions[symbol];
  if (f.bytes < 0) {
    const auto outside = Outside.find(symbol);
    if (outside == Outside.end()) errors.push_back("call to " + symbol + ", whose stack use is unknown");
    return depth[symbol] = outside == Outside.end() ? 0 : outside->second;
  }
  if (!f.bounded) errors.push_back(f.name + " has a frame of dynamic size");
  if (!active.insert(symbol).second) {
    errors.push_back("recursion through " + f.name);
    return 0;
  }
  long deepest = 0;
  for (const std::string& callee : Targets(symbol)) {
    const long d = Depth(callee);
    if (d > deepest) {
      deepest = d;
      deepestCallee[symbol] = callee;
    }
  }
  active.erase(symbol);
  return depth[symbol] = f.bytes + deepest;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: check_stack_depth OBJECT_DIR LIMIT_BYTES\n";
    return 2;
  }
  int files = 0;
  if (!std::filesystem::is_directory(argv[1])) {
    std::cerr << "FAIL: " << argv[1] << " is not a directory\n";
    return 1;
  }
  for (const auto& entry : std::filesystem::recursive_directory_iterator(argv[1])) {
    if (entry.path().extension() == ".ci") {
      ReadGraph(entry.path());
      ++files;
    }
  }
  const std::string root = "Jpeg_EncodeStart";
  if (files == 0 || functions[root].bytes < 0) {
    std::cerr << "FAIL: no call graph with " << root << " under " << argv[1]
              << " (build with DIBJPEG_STACK_USAGE=ON and GCC 10 or later)\n";
    return 1;
  }
  const long total = Depth(root);
  std::cout << "deepest call chain from " << root << " (" << files << " objects):\n";
  for (std::string s = root;; s = deepestCallee[s]) {
    const Function& f = functions[s];
    std::cout << "  " << (f.bytes >= 0 ? f.bytes : depth[s]) << "\t" << (f.name.empty() ? s : f.name) << "\n";
    if (!deepestCallee.count(s)) break;
  }
  const long limit = std::stol(argv[2]);
  std::cout << "total " << total << " bytes, limit " << limit << "\n";
  for (const std::string& e : errors) std::cerr << "FAIL: " << e << "\n";
  if (total > limit) std::cerr << "FAIL: the deepest chain exceeds the limit\n";
  return errors.empty() && total <= limit ? 0 : 1;
}
