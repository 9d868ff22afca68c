// make_test_pki DIR: makes the test PKI in DIR (as the tests make theirs) and
// prints one "holder=owner DN" line per certificate holder, for the demo.

#include <filesystem>
#include <iostream>

#include "tests/support/test_pki.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: make_test_pki DIR\n";
    return 1;
  }
  try {
    testsupport::TestPki pki = testsupport::TestPki::LoadOrMake(argv[1]);
    for (const std::string& who : testsupport::TestPki::Holders()) std::cout << who << "=" << pki.Dn(who) << "\n";
  } catch (const std::exception& e) {
    std::cerr << "make_test_pki: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
