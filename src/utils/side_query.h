#pragma once

#include <QThreadPool>

#include <functional>
#include <future>
#include <memory>
#include <utility>

namespace AppStore {

// A read-only query run on a pool thread while its caller goes on with work
// that does not depend on it. The owner takes the answer where it used to
// ask; a query is never left running past its owner, and each query is
// bounded by its own time limit.
template<typename Result> class SideQuery
{
public:
    explicit SideQuery(std::function<Result()> query)
    {
        auto promise = std::make_shared<std::promise<Result>>();
        m_answer = promise->get_future();
        QThreadPool::globalInstance()->start(
            [promise, query = std::move(query)] { promise->set_value(query()); });
    }
    ~SideQuery()
    {
        if (m_answer.valid())
            m_answer.wait();
    }
    SideQuery(const SideQuery &) = delete;
    SideQuery &operator=(const SideQuery &) = delete;

    // Once only.
    Result take() { return m_answer.get(); }

private:
    std::future<Result> m_answer;
};

} // namespace AppStore
