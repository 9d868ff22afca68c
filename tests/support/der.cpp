#include "tests/support/der.h"

#include <sstream>
#include <stdexcept>

namespace testsupport {
namespace {

std::string LengthBytes(size_t length) {
  if (length < 0x80) return std::string(1, static_cast<char>(length));
  std::string bytes;
  for (; length > 0; length >>= 8) bytes.insert(bytes.begin(), static_cast<char>(length & 0xFF));
  return std::string(1, static_cast<char>(0x80 | bytes.size())) + bytes;
}

DerNode Parse(const std::string& der, size_t* at, size_t end) {
  auto byte = [&]() -> uint8_t {
    if (*at >= end) throw std::runtime_error("der: truncated element");
    return static_cast<uint8_t>(der[(*at)++]);
  };
  DerNode node;
  node.tag = byte();
  if ((node.tag & 0x1F) == 0x1F) throw std::runtime_error("der: multi-byte tag");
  size_t length = byte();
  if (length == 0x80) throw std::runtime_error("der: indefinite length");
  if (length > 0x80) {
    const size_t count = length & 0x7F;
    if (count > sizeof(size_t)) throw std::runtime_error("der: length too long");
    length = 0;
    for (size_t i = 0; i < count; ++i) length = (length << 8) | byte();
  }
  if (length > end - *at) throw std::runtime_error("der: element runs past its parent");
  const size_t stop = *at + length;
  if (node.Constructed()) {
    while (*at < stop) node.children.push_back(Parse(der, at, stop));
  } else {
    node.content = der.substr(*at, length);
    *at = stop;
  }
  return node;
}

bool IsOid(const DerNode& node, const std::string& oidDer) {
  return node.tag == 0x06 && std::string(1, 0x06) + LengthBytes(node.content.size()) + node.content == oidDer;
}

}  // namespace

std::string DerNode::Encode() const {
  std::string value = content;
  if (Constructed()) {
    value.clear();
    for (const DerNode& child : children) value += child.Encode();
  }
  return std::string(1, static_cast<char>(tag)) + LengthBytes(value.size()) + value;
}

DerNode ParseDer(const std::string& der) {
  size_t at = 0;
  DerNode node = Parse(der, &at, der.size());
  if (at != der.size()) throw std::runtime_error("der: bytes after the element");
  return node;
}

std::string OidDer(const std::string& dotted) {
  std::vector<unsigned long long> arcs;
  std::istringstream in(dotted);
  for (std::string arc; std::getline(in, arc, '.');) arcs.push_back(std::stoull(arc));
  if (arcs.size() < 2) throw std::invalid_argument("der: OID of fewer than two arcs: " + dotted);
  arcs[1] += arcs[0] * 40;
  std::string value;
  for (size_t i = 1; i < arcs.size(); ++i) {
    std::string base128(1, static_cast<char>(arcs[i] & 0x7F));
    for (unsigned long long rest = arcs[i] >> 7; rest > 0; rest >>= 7)
      base128.insert(base128.begin(), static_cast<char>(0x80 | (rest & 0x7F)));
    value += base128;
  }
  return std::string(1, 0x06) + LengthBytes(value.size()) + value;
}

std::string ReplaceTimeStampToken(const std::string& message, const std::string& token) {
  static const std::string kTokenAttribute = OidDer("1.2.840.113549.1.9.16.2.14");
  DerNode root = ParseDer(message);
  DerNode* attribute = FindDer(root, [](const DerNode& node) {
    return node.tag == 0x30 && node.children.size() == 2 && IsOid(node.children[0], kTokenAttribute) &&
           node.children[1].tag == 0x31 && !node.children[1].children.empty();
  });
  if (attribute == nullptr) throw std::runtime_error("der: the message carries no time-stamp token");
  attribute->children[1].children[0] = ParseDer(token);
  return root.Encode();
}

std::string TokenOfReply(const std::string& reply) {
  DerNode root = ParseDer(reply);
  if (root.tag != 0x30 || root.children.size() < 2) throw std::runtime_error("der: the reply carries no token");
  return root.children[1].Encode();
}

}  // namespace testsupport
