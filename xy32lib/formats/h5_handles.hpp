// The handles of libhdf5 objects and the silencing of its error printing,
// shared by the HDF5 reader and writer.
#pragma once

#include <hdf5.h>

#include <string>

// Owns an HDF5 identifier; closes it when the owner goes away.
template <herr_t (*Close)(hid_t)> class Handle {
  public:
    Handle() = default;
    explicit Handle(hid_t id) : id_(id) {}
    ~Handle() { reset(); }
    Handle(Handle&& other) noexcept : id_(other.id_) { other.id_ = -1; }
    Handle& operator=(Handle&& other) noexcept {
        if (this != &other) {
            reset();
            id_ = other.id_;
            other.id_ = -1;
        }
        return *this;
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    hid_t get() const { return id_; }
    bool valid() const { return id_ >= 0; }
    // Gives the identifier up, to be closed by the caller.
    hid_t release() {
        const hid_t id = id_;
        id_ = -1;
        return id;
    }
    void reset() {
        if (id_ >= 0) Close(id_);
        id_ = -1;
    }

  private:
    hid_t id_ = -1;
};
using FileId = Handle<H5Fclose>;
using DatasetId = Handle<H5Dclose>;
using SpaceId = Handle<H5Sclose>;
using TypeId = Handle<H5Tclose>;
using PlistId = Handle<H5Pclose>;
using AttrId = Handle<H5Aclose>;
using GroupId = Handle<H5Gclose>;

// Switches the library's own printing of error stacks off while our calls
// run (their errors are reported as one line each), and back to what the
// program had set when they end: other users of libhdf5 in the process keep
// their own choice.
class QuietErrors {
  public:
    QuietErrors() {
        H5open();
        H5Eget_auto2(H5E_DEFAULT, &handler_, &data_);
        H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    }
    ~QuietErrors() { H5Eset_auto2(H5E_DEFAULT, handler_, data_); }
    QuietErrors(const QuietErrors&) = delete;
    QuietErrors& operator=(const QuietErrors&) = delete;

  private:
    H5E_auto2_t handler_ = nullptr;
    void* data_ = nullptr;
};

// The library's error stack as one line ("what failed: deepest cause"), and
// the stack cleared.
std::string h5_library_error();
