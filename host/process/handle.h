// A Windows handle owned by type: a CHandle closes its handle when it is
// destroyed or given another, on every path. Move-only; the null value and
// INVALID_HANDLE_VALUE both mean that it holds none.
#pragma once

namespace ScanHost {

class CHandle {
public:
    CHandle() = default;
    explicit CHandle(void *handle) { Reset(handle); }
    ~CHandle() { Reset(); }
    CHandle(CHandle &&other) noexcept : m_handle(other.Release()) {}
    CHandle &operator=(CHandle &&other) noexcept
    {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }
    CHandle(const CHandle &) = delete;
    CHandle &operator=(const CHandle &) = delete;

    void *Get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }
    // Closes the handle held, if any, and takes handle.
    void Reset(void *handle = nullptr);
    // Gives the handle up without closing it; the caller owns it.
    void *Release()
    {
        void *handle = m_handle;
        m_handle = nullptr;
        return handle;
    }

private:
    void *m_handle = nullptr;
};

}  // namespace ScanHost
