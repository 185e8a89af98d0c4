#include "device/tree/TreeSeams.h"

#include <mutex>

namespace kestrap {

namespace {

std::mutex g_seamsLock;  // guards g_iconProvider and g_imageDecoder
std::shared_ptr<FileSystemIconProvider> g_iconProvider;
std::shared_ptr<FileSystemImageDecoder> g_imageDecoder;

}  // namespace

void setFileSystemIconProvider(std::shared_ptr<FileSystemIconProvider> provider)
{
    std::lock_guard seams(g_seamsLock);
    g_iconProvider = std::move(provider);
}

std::shared_ptr<FileSystemIconProvider> fileSystemIconProvider()
{
    std::lock_guard seams(g_seamsLock);
    return g_iconProvider;
}

void setFileSystemImageDecoder(std::shared_ptr<FileSystemImageDecoder> decoder)
{
    std::lock_guard seams(g_seamsLock);
    g_imageDecoder = std::move(decoder);
}

std::shared_ptr<FileSystemImageDecoder> fileSystemImageDecoder()
{
    std::lock_guard seams(g_seamsLock);
    return g_imageDecoder;
}

}  // namespace kestrap
