// The file side of the libimobiledevice backend: AFC connections on started services.
#include "device/ios/imd/ImdErrors.h"
#include "device/ios/imd/ImdMobileDeviceService.h"
#include "device/ios/imd/ImdState.h"

#include <algorithm>

namespace kestrap::imd {

namespace {

// Real devices write fastest with requests of 1 to 4 MiB; larger ones only hold the link
// longer before a failure can be told.
constexpr std::uint32_t kWriteRequest = 4u << 20;

ImdConnection* afcOf(AFCConnectionRef connection)
{
    auto* c = dynamic_cast<ImdConnection*>(connection);
    return c && c->afc ? c : nullptr;
}

// A failure on a connection whose device has gone is the device's going.
MDError afcResult(const ImdConnection& c, afc_error_t error)
{
    const MDError mapped = fromAfc(error);
    if (mapped && c.record && !c.record->alive)
        return AFCServiceNotConnectedError;
    return mapped;
}

MDError keyValues(const ImdConnection& c, afc_error_t error, char** list, AFCKeyValueRef* info)
{
    StringListPtr owner(list);
    if (const MDError failure = afcResult(c, error))
        return failure;
    auto kv = std::make_unique<ImdKeyValue>();
    for (char** p = list; p && p[0] && p[1]; p += 2)
        kv->pairs.emplace_back(QByteArray(p[0]), QByteArray(p[1]));
    *info = kv.release();
    return MDSuccess;
}

}  // namespace

MDError ImdMobileDeviceService::AFCConnectionOpen(AMServiceHandle service, std::uint32_t, AFCConnectionRef* connection)
{
    if (!connection)
        return AFCInvalidArgumentError;
    std::unique_ptr<ImdPendingService> pending;
    {
        std::lock_guard guard(m_servicesLock);
        const auto it = m_services.find(service);
        if (it == m_services.end())
            return AFCInvalidArgumentError;
        pending = std::move(it->second);
        m_services.erase(it);
    }
    const std::shared_ptr<ImdRecord> record = pending->record;
    if (!record->alive)
        return AFCServiceNotConnectedError;
    auto c = std::make_unique<ImdConnection>();
    c->record = record;
    afc_client_t afc = nullptr;
    afc_error_t opened = AFC_E_SUCCESS;
    if (pending->houseArrest) {
        opened = afc_client_new_from_house_arrest_client(pending->houseArrest.get(), &afc);
        c->houseArrest = std::move(pending->houseArrest);
    } else {
        opened = afc_client_new(record->device.get(), pending->service.get(), &afc);
    }
    c->afc.reset(afc);
    if (const MDError failure = afcResult(*c, opened))
        return failure;
    *connection = c.release();
    return MDSuccess;
}

MDError ImdMobileDeviceService::AFCConnectionClose(AFCConnectionRef connection)
{
    auto* c = dynamic_cast<ImdConnection*>(connection);
    if (!c)
        return AFCInvalidArgumentError;
    delete c;
    return MDSuccess;
}

MDError ImdMobileDeviceService::AFCDeviceInfoOpen(AFCConnectionRef connection, AFCKeyValueRef* info)
{
    ImdConnection* c = afcOf(connection);
    if (!c || !info)
        return AFCInvalidArgumentError;
    char** list = nullptr;
    const afc_error_t error = afc_get_device_info(c->afc.get(), &list);
    return keyValues(*c, error, list, info);
}

MDError ImdMobileDeviceService::AFCFileInfoOpen(AFCConnectionRef connection, const QString& path, AFCKeyValueRef* info)
{
    ImdConnection* c = afcOf(connection);
    if (!c || !info)
        return AFCInvalidArgumentError;
    char** list = nullptr;
    const afc_error_t error = afc_get_file_info(c->afc.get(), path.toUtf8().constData(), &list);
    return keyValues(*c, error, list, info);
}

MDError ImdMobileDeviceService::AFCKeyValueRead(AFCKeyValueRef handle, QByteArray* key, QByteArray* value)
{
    auto* kv = dynamic_cast<ImdKeyValue*>(handle);
    if (!kv || !key || !value)
        return AFCInvalidArgumentError;
    if (kv->next >= kv->pairs.size()) {
        *key = QByteArray();
        *value = QByteArray();
        return MDSuccess;
    }
    *key = kv->pairs[kv->next].first;
    *value = kv->pairs[kv->next].second;
    ++kv->next;
    return MDSuccess;
}

MDError ImdMobileDeviceService::AFCKeyValueClose(AFCKeyValueRef handle)
{
    auto* kv = dynamic_cast<ImdKeyValue*>(handle);
    if (!kv)
        return AFCInvalidArgumentError;
    delete kv;
    return MDSuccess;
}

MDError ImdMobileDeviceService::AFCDirectoryOpen(AFCConnectionRef connection, const QString& path, AFCDirectoryRef* dir)
{
    ImdConnection* c = afcOf(connection);
    if (!c || !dir)
        return AFCInvalidArgumentError;
    char** list = nullptr;
    const afc_error_t error = afc_read_directory(c->afc.get(), path.toUtf8().constData(), &list);
    StringListPtr owner(list);
    if (const MDError failure = afcResult(*c, error))
        return failure;
    auto d = std::make_unique<ImdDirectory>();
    for (char** p = list; p && *p; ++p)
        d->names.emplace_back(*p);
    *dir = d.release();
    return MDSuccess;
}

MDError ImdMobileDeviceService::AFCDirectoryRead(AFCConnectionRef, AFCDirectoryRef dir, QByteArray* name)
{
    auto* d = dynamic_cast<ImdDirectory*>(dir);
    if (!d || !name)
        return AFCInvalidArgumentError;
    *name = d->next < d->names.size() ? d->names[d->next++] : QByteArray();
    return MDSuccess;
}

MDError ImdMobileDeviceService::AFCDirectoryClose(AFCConnectionRef, AFCDirectoryRef dir)
{
    auto* d = dynamic_cast<ImdDirectory*>(dir);
    if (!d)
        return AFCInvalidArgumentError;
    delete d;
    return MDSuccess;
}

MDError ImdMobileDeviceService::AFCDirectoryCreate(AFCConnectionRef connection, const QString& path)
{
    ImdConnection* c = afcOf(connection);
    if (!c)
        return AFCInvalidArgumentError;
    return afcResult(*c, afc_make_directory(c->afc.get(), path.toUtf8().constData()));
}

MDError ImdMobileDeviceService::AFCFileRefOpen(
    AFCConnectionRef connection, const QString& path, std::uint64_t mode, AFCFileRef* file)
{
    ImdConnection* c = afcOf(connection);
    if (!c || !file || mode < AFCFileModeRead || mode > AFCFileModeWrite)
        return AFCInvalidArgumentError;
    std::uint64_t handle = 0;
    const afc_error_t error = afc_file_open(c->afc.get(), path.toUtf8().constData(), afc_file_mode_t(mode), &handle);
    if (const MDError failure = afcResult(*c, error))
        return failure;
    *file = handle;
    return MDSuccess;
}

MDError ImdMobileDeviceService::AFCFileRefSeek(
    AFCConnectionRef connection, AFCFileRef file, std::int64_t offset, std::uint64_t origin)
{
    ImdConnection* c = afcOf(connection);
    if (!c || origin > AFCSeekFromEnd)
        return AFCInvalidArgumentError;
    // The seam's origins are SEEK_SET, SEEK_CUR and SEEK_END in that order, as AFC's.
    return afcResult(*c, afc_file_seek(c->afc.get(), file, offset, int(origin)));
}

MDError ImdMobileDeviceService::AFCFileRefRead(
    AFCConnectionRef connection, AFCFileRef file, void* buffer, std::uint32_t* count)
{
    ImdConnection* c = afcOf(connection);
    if (!c || !buffer || !count)
        return AFCInvalidArgumentError;
    std::uint32_t read = 0;
    const afc_error_t error = afc_file_read(c->afc.get(), file, static_cast<char*>(buffer), *count, &read);
    if (const MDError failure = afcResult(*c, error))
        return failure;
    *count = read;
    return MDSuccess;
}

MDError ImdMobileDeviceService::AFCFileRefWrite(
    AFCConnectionRef connection, AFCFileRef file, const void* buffer, std::uint32_t count)
{
    ImdConnection* c = afcOf(connection);
    if (!c || (!buffer && count))
        return AFCInvalidArgumentError;
    // The library may write fewer bytes than asked (it says so by the count, not by an
    // error): the rest is sent again until all of it is written or a request fails.
    const auto* p = static_cast<const char*>(buffer);
    std::uint32_t left = count;
    while (left > 0) {
        std::uint32_t written = 0;
        const afc_error_t error = afc_file_write(c->afc.get(), file, p, std::min(left, kWriteRequest), &written);
        if (const MDError failure = afcResult(*c, error))
            return failure;
        if (written == 0)
            // Nothing went over the link: it is broken.
            return c->record && !c->record->alive ? AFCServiceNotConnectedError : AFCWriteError;
        p += written;
        left -= written;
    }
    return MDSuccess;
}

MDError ImdMobileDeviceService::AFCFileRefClose(AFCConnectionRef connection, AFCFileRef file)
{
    ImdConnection* c = afcOf(connection);
    if (!c)
        return AFCInvalidArgumentError;
    return afcResult(*c, afc_file_close(c->afc.get(), file));
}

MDError ImdMobileDeviceService::AFCRemovePath(AFCConnectionRef connection, const QString& path)
{
    ImdConnection* c = afcOf(connection);
    if (!c)
        return AFCInvalidArgumentError;
    return afcResult(*c, afc_remove_path(c->afc.get(), path.toUtf8().constData()));
}

MDError ImdMobileDeviceService::AFCRenamePath(AFCConnectionRef connection, const QString& from, const QString& to)
{
    ImdConnection* c = afcOf(connection);
    if (!c)
        return AFCInvalidArgumentError;
    return afcResult(*c, afc_rename_path(c->afc.get(), from.toUtf8().constData(), to.toUtf8().constData()));
}

MDError ImdMobileDeviceService::AFCSetModificationTime(
    AFCConnectionRef connection, const QString& path, std::int64_t nanoseconds)
{
    ImdConnection* c = afcOf(connection);
    if (!c || nanoseconds < 0)
        return AFCInvalidArgumentError;
    return afcResult(*c, afc_set_file_time(c->afc.get(), path.toUtf8().constData(), std::uint64_t(nanoseconds)));
}

}  // namespace kestrap::imd
