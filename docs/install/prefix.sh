# Build, then install both components under one folder ($PREFIX): nothing is written outside it.
scripts/setup
cmake --preset release
cmake --build --preset release
cmake --install build/release --prefix "$PREFIX"
cmake --install build/release --component checker --prefix "$PREFIX/checker-only"
