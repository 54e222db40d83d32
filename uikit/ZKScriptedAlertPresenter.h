#pragma once

#include <QtCore/QPointer>
#include <QtWidgets/QWidget>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "uikit/ZKAlert.h"

// The presenter of tests: records every alert and answers it with the next scripted choice (on the
// next turn of the loop), or keeps it open until the test answers it. Made with std::make_shared.
class ZKScriptedAlertPresenter : public ZKAlertPresenter,
                                 public std::enable_shared_from_this<ZKScriptedAlertPresenter> {
 public:
  struct Choice {
    ZKModalResponse response = ZKAlertFirstButtonReturn;
    bool suppress = false;
  };
  struct Presented {
    std::shared_ptr<ZKAlert> alert;
    QPointer<QWidget> window;
    bool hadWindow = false;
    Completion completion;
    bool answered = false;
  };

  void beginSheet(const std::shared_ptr<ZKAlert>& alert, QWidget* window, Completion completion) override;

  // The next alerts are answered with these, in order; alerts beyond them stay open.
  void script(std::vector<Choice> choices);
  // Answers the open alert at that index (in order of presentation) now.
  void answer(std::size_t index, Choice choice);

  const std::vector<std::shared_ptr<Presented>>& presented() const { return presented_; }
  std::size_t openCount() const;

 private:
  std::deque<Choice> script_;
  std::vector<std::shared_ptr<Presented>> presented_;
};
