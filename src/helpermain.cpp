// pictavo-helper: reads users' files for the window's process, one request
// at a time, inside a sandbox it puts up itself (see README: what runs
// where). Started by the window with its end of a socket pair as
// descriptor 3; never meant to be run by hand.
#include "base/imagelimits.h"
#include "conversion/conversionjob.h"
#include "isolation/helperserver.h"
#include "isolation/isolatedread.h"
#include "isolation/sandbox.h"
#include "isolation/warmup.h"
#include "thumbnail/thumbnailloader.h"

#include <QCoreApplication>

#include <unistd.h>

int main(int argc, char *argv[])
{
    // Nothing of the window's but the socket: descriptors it left open by
    // mistake would be reachable from a decoder.
    ::close_range(4, ~0U, 0);
    QCoreApplication app(argc, argv);
    ImageLimits::configureProcess();
    HelperServer::keepFreedMemory();

    HelperServer server(3);
    server.handle(Protocol::Job::Decode, IsolatedRead::serve);
    server.handle(Protocol::Job::Convert, ConversionJob::serve);
    server.handle(Protocol::Job::Thumbnail, ThumbnailLoader::serve);

    Warmup::run();
    Sandbox::Limits limits;
    // One picture at its limit, the copy that goes back to the window, and
    // the encoder's: the flattened or colour-converted pixels, the file.
    limits.addressSpace = Sandbox::addressSpaceFor(3 * qint64(ImageLimits::allocationLimitMB) * 1024 * 1024);
    limits.descriptors = 64;
    // The largest file it makes: a picture at the limit, or its encoded
    // file (at 16 bits a channel, twice the picture) with the metadata.
    limits.fileSize = 2 * qint64(ImageLimits::allocationLimitMB) * 1024 * 1024 + 64ll * 1024 * 1024;
    QString why;
    bool landlocked = false;
    const bool sandboxed = Sandbox::apply(limits, &why, &landlocked);
    if (!server.ready(sandboxed, landlocked, why))
        ::_exit(1);
    // Straight out, without exit handlers: there is nothing to save, and
    // what they would do (a sanitizer's reports) may need calls the sandbox
    // refuses.
    ::_exit(server.run());
}
