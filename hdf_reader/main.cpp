#include "metadata/hdf_reader_process.h"

int main() {
    return aster::ServeHdfReads(aster::kHdfReaderSocket);
}
