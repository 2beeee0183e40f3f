// The people lens: reloading the people list and the selected person's
// timeline, and the merge of two loads of one timeline.

#include "api/apiclient.h"
#include "app/appmodel.h"

#include <QSet>

#include <algorithm>

namespace quarn {

PersonTimeline AppModel::merging(
    const PersonTimeline &current, const PersonTimeline &incoming, bool preferIncomingCursor)
{
    // The later occurrence of an id wins, so a message loaded again carries
    // its newest content.
    QList<PersonTimelineMessage> joined = current.messages + incoming.messages;
    QSet<QString> seen;
    QList<PersonTimelineMessage> messages;
    messages.reserve(joined.size());
    for (qsizetype i = joined.size() - 1; i >= 0; --i) {
        if (seen.contains(joined.at(i).id))
            continue;
        seen.insert(joined.at(i).id);
        messages.append(joined.at(i));
    }
    // Equal times are ordered by id, as the service orders them within a
    // page, so the same messages show in the same order however they were
    // loaded.
    std::sort(messages.begin(), messages.end(), [](const PersonTimelineMessage &a, const PersonTimelineMessage &b) {
        return a.createdAt != b.createdAt ? a.createdAt < b.createdAt : a.id < b.id;
    });

    PersonTimeline merged;
    merged.person = incoming.person;
    merged.messages = std::move(messages);
    const PersonTimeline &cursor = preferIncomingCursor ? incoming : current;
    merged.hasMore = cursor.hasMore;
    merged.nextBefore = cursor.nextBefore;
    return merged;
}

QCoro::Task<void> AppModel::refreshPeople(bool keepingSelection)
{
    if (!m_token)
        co_return;
    setIsLoading(true);
    const QString token = *m_token;

    std::optional<PeopleResponse> answer;
    std::exception_ptr failure;
    try {
        answer = co_await m_api->people(token);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        presentListFailure(failure);
        setIsLoading(false);
        co_return;
    }
    setPeople(std::move(answer->people));

    if (keepingSelection && m_selectedPersonEmail) {
        const QString email = *m_selectedPersonEmail;
        const bool stillListed
            = std::any_of(m_people.cbegin(), m_people.cend(), [&](const PersonSummary &p) { return p.email == email; });
        if (stillListed) {
            std::optional<PersonTimeline> newest;
            try {
                newest = co_await m_api->personTimeline(email, std::nullopt, token);
            } catch (...) {
                failure = std::current_exception();
            }
            if (failure) {
                presentListFailure(failure);
                setIsLoading(false);
                co_return;
            }
            // Older pages already loaded stay, and so does their cursor.
            if (m_personTimeline && m_personTimeline->person.email == email)
                setPersonTimeline(merging(*m_personTimeline, *newest, false));
            else
                setPersonTimeline(std::move(newest));
            setErrorMessage(std::nullopt);
            setIsLoading(false);
            co_return;
        }
    }
    if (m_selectedPersonEmail) {
        setSelectedPersonEmail(std::nullopt);
        setPersonTimeline(std::nullopt);
    }
    setErrorMessage(std::nullopt);
    setIsLoading(false);
}

} // namespace quarn

namespace quarn {

QCoro::Task<void> AppModel::openPerson(QString email)
{
    if (!m_token)
        co_return;
    setLens(MailLens::people);
    setSelectedPersonEmail(email);
    clearConversationSelection();
    setIsLoading(true);
    // The previous timeline stays on screen until the answer arrives.
    std::exception_ptr failure;
    try {
        PersonTimeline timeline = co_await m_api->personTimeline(email, std::nullopt, *m_token);
        setPersonTimeline(std::move(timeline));
        setErrorMessage(std::nullopt);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure)
        present(failure);
    setIsLoading(false);
}

QCoro::Task<void> AppModel::loadOlderPersonMessages()
{
    if (!m_token || !m_personTimeline || !m_personTimeline->hasMore || !m_personTimeline->nextBefore
        || m_isLoadingOlderMessages)
        co_return;
    // The page is merged into the timeline as it was when the request left;
    // a reload that lands meanwhile is replaced by this merge.
    const PersonTimeline current = *m_personTimeline;
    setIsLoadingOlderMessages(true);
    std::exception_ptr failure;
    try {
        const PersonTimeline page = co_await m_api->personTimeline(current.person.email, current.nextBefore, *m_token);
        setPersonTimeline(merging(current, page, true));
        setErrorMessage(std::nullopt);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure)
        present(failure);
    setIsLoadingOlderMessages(false);
}

} // namespace quarn
