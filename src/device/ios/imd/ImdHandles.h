#pragma once

#include <libimobiledevice/afc.h>
#include <libimobiledevice/house_arrest.h>
#include <libimobiledevice/installation_proxy.h>
#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>
#include <plist/plist.h>

#include <memory>
#include <type_traits>

// Owners of libimobiledevice's and libplist's handles: each frees its handle with the
// library's own call when it goes, so that no failure path can leak one.
namespace kestrap::imd {

template <typename Handle, auto Free> struct HandleFree {
    void operator()(Handle handle) const
    {
        if (handle)
            Free(handle);
    }
};

template <typename Handle, auto Free>
using Owned = std::unique_ptr<std::remove_pointer_t<Handle>, HandleFree<Handle, Free>>;

using DevicePtr = Owned<idevice_t, idevice_free>;
using LockdownPtr = Owned<lockdownd_client_t, lockdownd_client_free>;
using ServicePtr = Owned<lockdownd_service_descriptor_t, lockdownd_service_descriptor_free>;
using AfcPtr = Owned<afc_client_t, afc_client_free>;
using HouseArrestPtr = Owned<house_arrest_client_t, house_arrest_client_free>;
using InstproxyPtr = Owned<instproxy_client_t, instproxy_client_free>;
using PlistPtr = Owned<plist_t, plist_free>;

// A NULL-terminated list of strings as AFC's calls give them.
void freeStringList(char** list);
using StringListPtr = std::unique_ptr<char*, HandleFree<char**, freeStringList>>;

}  // namespace kestrap::imd
