// Closing a handle.
#include "host/process/handle.h"

#include <windows.h>

namespace ScanHost {

void CHandle::Reset(void *handle)
{
    if (m_handle)
        CloseHandle(m_handle);
    m_handle = handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

}  // namespace ScanHost
