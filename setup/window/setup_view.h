#pragma once

#include <QUrl>
#include <QVBoxLayout>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "flow/sharing_setup_flow.h"
#include "window/screens.h"

namespace tavrino::setup {

// The store link a text of the bundle information stands for: absent when the
// text is missing or empty or does not parse as a URL; otherwise the text as
// stored, untrimmed.
std::optional<QUrl> storeLinkFromInfo(const std::optional<std::string>& value);

// The setup window's content: one of three screens by the flow's phase, on a
// gradient. It starts the flow whenever it is shown.
class SetupView : public QWidget {
  Q_OBJECT

 public:
  using Close = std::function<void()>;
  using InfoReader = std::function<std::optional<std::string>(const std::string& key)>;

  // No flow: the production flow. No store link: the bundle's
  // TavrinoChromeStoreURL, read through `readInfo` (default: this program's
  // own bundle). No close action: quit the application.
  explicit SetupView(std::shared_ptr<SharingSetupFlow> flow = nullptr, std::optional<QUrl> storeURL = std::nullopt,
                     Close close = {}, InfoReader readInfo = {});

  const std::shared_ptr<SharingSetupFlow>& flow() const { return flow_; }
  const std::optional<QUrl>& storeURL() const { return storeURL_; }
  const QString& linkError() const { return linkError_; }

  // Opens `url` in Google Chrome; what goes wrong shows under the link.
  void openChrome(const QUrl& url);

 signals:
  void linkErrorChanged(const QString& text);

 protected:
  void showEvent(QShowEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  void showPhase(const Phase& phase);
  void fitToScreen();
  void setLinkError(QString text);

  std::shared_ptr<SharingSetupFlow> flow_;
  std::optional<QUrl> storeURL_;
  Close close_;
  QString linkError_;

  QVBoxLayout layout_;
  ProgressScreen progress_;
  FailureScreen failure_;
  SuccessScreen success_;
};

}  // namespace tavrino::setup
