#pragma once
// A minimal DER reader and writer for tests that craft what no honest party
// sends: a time-stamp query under another digest's name, a signature whose
// stamp was swapped afterwards. Definite lengths and one-byte tags only (what
// the library writes in its block form and what openssl writes).

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

struct DerNode {
  uint8_t tag = 0;
  std::string content;            // a primitive's value bytes
  std::vector<DerNode> children;  // a constructed value's elements

  bool Constructed() const { return (tag & 0x20) != 0; }
  std::string Encode() const;
};

// Parses one element that fills `der` whole. Throws std::runtime_error on
// anything else.
DerNode ParseDer(const std::string& der);

// The encoded OBJECT IDENTIFIER element of a dotted OID ("1.2.643.7.1.1.2.2").
std::string OidDer(const std::string& dotted);

// The first element, depth first, for which `match` holds; null when none.
template <typename Match>
DerNode* FindDer(DerNode& node, const Match& match) {
  if (match(node)) return &node;
  for (DerNode& child : node.children)
    if (DerNode* found = FindDer(child, match)) return found;
  return nullptr;
}

// The time-stamp token of the first signature that carries one in a DER
// signed message, replaced by `token` (a DER ContentInfo). Throws when the
// message has none.
std::string ReplaceTimeStampToken(const std::string& message, const std::string& token);

// The token of a DER time-stamp reply. Throws when the reply has none.
std::string TokenOfReply(const std::string& reply);

}  // namespace testsupport
