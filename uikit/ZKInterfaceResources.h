#pragma once

#include <QtCore/QString>
#include <QtCore/QStringList>
#include <functional>
#include <memory>

class QWidget;

// The application's interface resources: the Designer forms (.ui files compiled by uic) of the window
// and view controllers, each registered under the name of the controller class it belongs to. A
// controller finds its form by its class name, the way it would find a resource file by name.
class ZKInterfaceForm {
 public:
  virtual ~ZKInterfaceForm() = default;
  // Makes the form's top-level widget with everything the form holds, its properties set.
  virtual QWidget* instantiate(QWidget* parent) = 0;
};

// A form whose uic class `Ui` the controller reads its outlets from.
template <class Ui>
class ZKDesignerUi : public ZKInterfaceForm {
 public:
  Ui ui;
};

// A compiled form with the top-level widget class `Root` (QWidget, QDialog, ZKYosemiteWindow...).
template <class Ui, class Root>
class ZKDesignerForm : public ZKDesignerUi<Ui> {
 public:
  QWidget* instantiate(QWidget* parent) override {
    auto* root = new Root(parent);
    this->ui.setupUi(root);
    return root;
  }
};

class ZKInterfaceResources {
 public:
  using Factory = std::function<std::unique_ptr<ZKInterfaceForm>()>;

  // Registers the form of that name (a later registration of the same name replaces it).
  static bool registerForm(const QString& name, Factory factory);
  static bool hasForm(const QString& name);
  // A new, not yet instantiated form; null when there is none of that name.
  static std::unique_ptr<ZKInterfaceForm> makeForm(const QString& name);
  static QStringList formNames();
};

// Registers the compiled form `ui_<Name>.h` (class Ui::Name) under the name Name, with its top-level
// widget class. Put it in the controller's source file, beside the include of the form.
#define ZK_INTERFACE_FORM(Name, RootWidget)                                                 \
  static const bool zk_interfaceFormRegistered_##Name = ZKInterfaceResources::registerForm( \
      QStringLiteral(#Name),                                                                \
      [] { return std::unique_ptr<ZKInterfaceForm>(new ZKDesignerForm<Ui::Name, RootWidget>); })
