#include "footprints/gdal_messages.h"

namespace aster {

std::string GdalMessages::failure() const {
    return m_failure.empty() ? "unknown GDAL error" : m_failure;
}

void GdalMessages::clear() {
    m_failure.clear();
}

void CPL_STDCALL GdalMessages::Receive(CPLErr level, CPLErrorNum /*number*/, const char* message) {
    auto* self = static_cast<GdalMessages*>(CPLGetErrorHandlerUserData());
    if (self != nullptr && level >= CE_Failure)
        self->m_failure = message != nullptr && *message != '\0' ? message : "unknown GDAL error";
}

} // namespace aster
