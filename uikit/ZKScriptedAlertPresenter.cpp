#include "uikit/ZKScriptedAlertPresenter.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QTimer>

void ZKScriptedAlertPresenter::beginSheet(const std::shared_ptr<ZKAlert>& alert, QWidget* window,
                                          Completion completion) {
  auto entry =
      std::make_shared<Presented>(Presented{alert, window, window != nullptr, std::move(completion), false});
  presented_.push_back(entry);
  if (script_.empty()) return;
  Choice choice = script_.front();
  script_.pop_front();
  const std::size_t index = presented_.size() - 1;
  QTimer::singleShot(0, QCoreApplication::instance(), [this, index, choice] { answer(index, choice); });
}

void ZKScriptedAlertPresenter::script(std::vector<Choice> choices) {
  script_.insert(script_.end(), choices.begin(), choices.end());
}

void ZKScriptedAlertPresenter::answer(std::size_t index, Choice choice) {
  if (index >= presented_.size()) return;
  auto entry = presented_[index];
  if (entry->answered) return;
  entry->answered = true;
  if (entry->alert->showsSuppressionButton) entry->alert->suppressionButtonState = choice.suppress;
  if (entry->completion) entry->completion(choice.response);
}

std::size_t ZKScriptedAlertPresenter::openCount() const {
  std::size_t open = 0;
  for (const auto& entry : presented_) open += entry->answered ? 0 : 1;
  return open;
}
