// SPDX-License-Identifier: GPL-3.0-or-later
// Workspace files of any content: reading either refuses the file or gives
// a workspace within the bounds the reader promises; such a workspace,
// written and read again, comes back equal.
#include <QByteArray>

#include "FuzzSupport.h"
#include "WorkspaceFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    zorp::TWorkspace w;
    QString error;
    if (!zorp::WorkspaceFromJson(bytes, w, error)) {
        ZORP_FUZZ_CHECK(!error.isEmpty());
        return 0;
    }
    ZORP_FUZZ_CHECK(w.Links.size() <= zorp::kMaxWorkspaceLinks);
    for (const zorp::TWorkspaceLink& l : w.Links) {
        ZORP_FUZZ_CHECK(l.Polls.size() <= zorp::kMaxWorkspacePolls);
        for (const zorp::TWorkspacePoll& p : l.Polls) {
            ZORP_FUZZ_CHECK(p.Unit >= 0 && p.Unit <= 255 && p.Func >= 1 && p.Func <= 4);
            ZORP_FUZZ_CHECK(p.Length >= 1 && p.Length <= 255 && p.Types.size() <= zorp::kMaxWorkspaceRows);
        }
    }
    zorp::TWorkspace again;
    ZORP_FUZZ_CHECK(zorp::WorkspaceFromJson(zorp::WorkspaceToJson(w), again, error));
    ZORP_FUZZ_CHECK(again == w);
    return 0;
}
