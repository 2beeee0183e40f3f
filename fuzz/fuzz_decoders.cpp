// Feeds arbitrary bytes to the record decoders. The first byte chooses the
// record, the rest is the document. A decoder may only ever succeed or throw
// DecodeError; anything else escaping (another exception, a crash, a sanitizer
// report) is a finding. A document that decodes must re-encode to one that
// decodes to the same value.
#include "model/json.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace quarn;

namespace {

template<typename T> void roundTrip(const QByteArrayView document)
{
    T value;
    try {
        value = decodeJson<T>(document);
    } catch (const DecodeError &) {
        return;
    }
    const QByteArray encoded = encodeJson(value);
    const T again = decodeJson<T>(encoded); // must not throw
    bool same;
    if constexpr (requires { value == again; })
        same = value == again;
    else
        same = encodeJson(again) == encoded;
    if (!same) {
        std::fprintf(stderr, "round trip changed the value: %s\n", encoded.constData());
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const QByteArrayView document(reinterpret_cast<const char *>(data) + 1, qsizetype(size - 1));
    switch (data[0] % 12) {
    case 0:
        roundTrip<MailState>(document);
        break;
    case 1:
        roundTrip<ConversationDetail>(document);
        break;
    case 2:
        roundTrip<PersonTimeline>(document);
        break;
    case 3:
        roundTrip<QList<AIConversation>>(document);
        break;
    case 4:
        roundTrip<PeopleResponse>(document);
        break;
    case 5:
        roundTrip<AiStartResponse>(document);
        break;
    case 6:
        roundTrip<AiCompleteResponse>(document);
        break;
    case 7:
        roundTrip<ConversationMutationResponse>(document);
        break;
    case 8:
        roundTrip<MailboxResponse>(document);
        break;
    case 9:
        roundTrip<APIErrorBody>(document);
        break;
    case 10:
        roundTrip<AiInsight>(document);
        break;
    case 11:
        roundTrip<OkResponse>(document);
        break;
    }
    return 0;
}
