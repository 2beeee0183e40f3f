// The people lens: reloading the people list and the selected person's
// timeline, and the merge of two loads of one timeline.

#include "api/apiclient.h"
#include "app/appmodel.h"
#include "app/policies.h"

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
    const LoadingScope loading(*this);
    const ReloadScope reloading(*this);
    const QString token = *m_token;
    const quint64 generation = m_personGeneration;

    std::optional<PeopleResponse> answer;
    std::exception_ptr failure;
    try {
        answer = co_await m_api->people(token);
    } catch (...) {
        failure = std::current_exception();
    }
    // Answers for a token that has since been replaced or rejected are not wanted.
    if (m_token != token)
        co_return;
    if (failure) {
        presentListFailure(failure);
        co_return;
    }
    setPeople(std::move(answer->people));
    noteReloadSucceeded();
    // The user chose another person meanwhile: that choice loads its own timeline.
    if (generation != m_personGeneration)
        co_return;

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
            if (m_token != token || generation != m_personGeneration || m_selectedPersonEmail != email)
                co_return;
            if (failure) {
                presentListFailure(failure);
                co_return;
            }
            // Older pages already loaded stay, and so does their cursor.
            if (m_personTimeline && m_timelineEmail == email) {
                setPersonTimeline(merging(*m_personTimeline, *newest, false));
            } else {
                m_timelineEmail = email;
                setPersonTimeline(std::move(newest));
            }
            co_return;
        }
    }
    if (m_selectedPersonEmail) {
        selectPerson(std::nullopt);
        setPersonTimeline(std::nullopt);
    }
}

QCoro::Task<void> AppModel::openPerson(QString email)
{
    if (!m_token)
        co_return;
    setLens(MailLens::people);
    // The person already shown, opened again: the newest page is merged into
    // the pages loaded so far, and an older page on its way still lands.
    const bool shownAgain = m_personTimeline && m_timelineEmail == email && m_selectedPersonEmail == email;
    m_personLoadFailed.reset();
    if (!shownAgain)
        selectPerson(email);
    const quint64 generation = m_personGeneration;
    clearConversationSelection();
    const LoadingScope loading(*this);
    // The previous timeline stays in the model until the answer arrives; the
    // screens show the chosen person as on the way (openingPerson).
    std::optional<PersonTimeline> timeline;
    std::exception_ptr failure;
    try {
        timeline = co_await m_api->personTimeline(email, std::nullopt, *m_token);
    } catch (...) {
        failure = std::current_exception();
    }
    // Another person was chosen meanwhile: the earlier one's timeline must
    // not replace theirs.
    if (generation != m_personGeneration || m_selectedPersonEmail != email)
        co_return;
    if (failure) {
        m_personLoadFailed = email;
        updateLoadStates();
        present(failure, Failure::person);
        co_return;
    }
    if (m_personTimeline && m_timelineEmail == email) {
        setPersonTimeline(merging(*m_personTimeline, *timeline, false));
    } else {
        m_timelineEmail = email;
        setPersonTimeline(std::move(timeline));
    }
    clearError(Failure::person);
}

QCoro::Task<void> AppModel::loadOlderPersonMessages()
{
    if (!m_token || !m_personTimeline || !PersonTimelinePolicy::canLoadOlder(*m_personTimeline)
        || m_isLoadingOlderMessages)
        co_return;
    // The page is merged into the timeline as it was when the request left;
    // a reload that lands meanwhile is replaced by this merge.
    const PersonTimeline current = *m_personTimeline;
    const quint64 generation = m_personGeneration;
    setIsLoadingOlderMessages(true);
    std::optional<PersonTimeline> page;
    std::exception_ptr failure;
    try {
        page = co_await m_api->personTimeline(current.person.email, current.nextBefore, *m_token);
    } catch (...) {
        failure = std::current_exception();
    }
    setIsLoadingOlderMessages(false);
    // A page of a person who is no longer shown would overwrite the timeline
    // of the one who is.
    if (generation != m_personGeneration || !m_personTimeline || m_personTimeline->person.email != current.person.email)
        co_return;
    if (failure) {
        present(failure, Failure::person);
        co_return;
    }
    setPersonTimeline(merging(current, *page, true));
    clearError(Failure::person);
}

} // namespace quarn
