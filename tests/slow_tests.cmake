# The cases labelled "slow" (see tests/CMakeLists.txt).
set_tests_properties(
  WholeFileTest.LargestFileIsReadWhole
  GzipGlueTest.SourceOfMoreThanFourGigabytes
  ResignStreamTest.InputsLongerThanOneChunkPassWhole
  PROPERTIES LABELS slow)
