#include "windows/QVHelpBrowser.h"

#include <QtCore/QDir>
#include <QtCore/QEvent>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QStringDecoder>
#include <QtGui/QScreen>
#include <QtGui/QTextDocument>
#include <QtWidgets/QScrollBar>
#include <algorithm>
#include <cmath>
#include <memory>

#include "platform/Log.h"
#include "platform/desktop/DesktopServices.h"
#include "windows/QVRTFConverter.h"

namespace {

// The file's bytes when it exists and is not over the limit.
std::optional<QByteArray> readLimited(const QString& path, bool* tooLarge = nullptr) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  if (file.size() > QVHelpBrowser::kMaximumDocumentBytes) {
    if (tooLarge) *tooLarge = true;
    return std::nullopt;
  }
  // Read one byte past the limit: a file that grew since its size was read is still refused.
  QByteArray bytes = file.read(QVHelpBrowser::kMaximumDocumentBytes + 1);
  if (bytes.size() > QVHelpBrowser::kMaximumDocumentBytes) {
    if (tooLarge) *tooLarge = true;
    return std::nullopt;
  }
  return bytes;
}

bool isLocal(const QUrl& url) { return url.isLocalFile() || url.scheme().isEmpty(); }

}  // namespace

QVHelpBrowser::QVHelpBrowser(QWidget* parent) : QTextBrowser(parent) {
  setOpenLinks(false);
  setOpenExternalLinks(false);
  applyLinkColor();
  connect(this, &QTextBrowser::anchorClicked, this, &QVHelpBrowser::linkClicked);
  connect(document(), &QTextDocument::contentsChanged, this, [this] {
    narrowestContentWidth_ = -1;
    updateGeometry();
  });
}

int QVHelpBrowser::narrowestContentWidth() const {
  if (narrowestContentWidth_ < 0) {
    // A copy laid out in the room the browser's own size hint leaves: text and tables wrap into it,
    // what cannot wrap (a line of code) sticks out, and the copy is as wide as that. The copy is a
    // child of the shown document, so that its images load the way the document's do (through
    // loadResource, kept to the package).
    const int room = std::max(1, QTextBrowser::sizeHint().width() - chromeWidth());
    const std::unique_ptr<QTextDocument> probe(document()->clone(document()));
    probe->setDefaultTextOption(document()->defaultTextOption());
    probe->setTextWidth(room);
    narrowestContentWidth_ = static_cast<int>(std::ceil(probe->idealWidth()));
  }
  return narrowestContentWidth_;
}

int QVHelpBrowser::chromeWidth() const { return 2 * frameWidth() + verticalScrollBar()->sizeHint().width(); }

QSize QVHelpBrowser::sizeHint() const {
  QSize hint = QTextBrowser::sizeHint();
  int width = narrowestContentWidth() + chromeWidth();
  if (const QScreen* shown = screen()) width = std::min(width, shown->availableGeometry().width() * 2 / 3);
  hint.setWidth(std::max(hint.width(), width));
  return hint;
}

void QVHelpBrowser::setPackageFolder(const QString& folder) {
  const QString canonical = QFileInfo(folder).canonicalFilePath();
  packageFolder_ = canonical.isEmpty() ? QString() : canonical;
}

bool QVHelpBrowser::isInsidePackage(const QString& path) const {
  if (packageFolder_.isEmpty()) return false;
  const QString canonical = QFileInfo(path).canonicalFilePath();
  if (canonical.isEmpty()) return false;
  return canonical == packageFolder_ || canonical.startsWith(packageFolder_ + QLatin1Char('/'));
}

void QVHelpBrowser::applyLinkColor() {
  document()->setDefaultStyleSheet(
      QStringLiteral("a { color: %1; }").arg(palette().color(QPalette::Link).name()));
}

void QVHelpBrowser::changeEvent(QEvent* event) {
  QTextBrowser::changeEvent(event);
  if (event->type() != QEvent::PaletteChange) return;
  const QString before = document()->defaultStyleSheet();
  applyLinkColor();
  if (document()->defaultStyleSheet() == before) return;
  if (source().isValid()) {
    reload();
  } else if (!documentPath_.isEmpty()) {
    showDocument(documentPath_);
  }
}

bool QVHelpBrowser::showDocument(const QString& path) {
  clear();
  documentPath_ = path;
  QFileInfo info(path);
  if (path.isEmpty() || !info.exists()) return false;
  const QString extension = info.suffix().toLower();
  QString file = path;
  if (extension == u"rtfd") file = QDir(path).filePath(QStringLiteral("TXT.rtf"));
  bool tooLarge = false;
  if (extension == u"rtf" || extension == u"rtfd") {
    auto bytes = readLimited(file, &tooLarge);
    if (tooLarge) {
      setPlainText(QString::fromUtf8(kTooLargeText));
    } else if (bytes) {
      setHtml(QString::fromStdString(
          QVRTFConverter::htmlFromRTF(std::string_view(bytes->constData(), bytes->size()))));
    }
    return true;
  }
  if (extension == u"txt") {
    auto bytes = readLimited(file, &tooLarge);
    if (tooLarge) {
      setPlainText(QString::fromUtf8(kTooLargeText));
      return true;
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = bytes ? decoder.decode(*bytes) : QString();
    setPlainText(!bytes || decoder.hasError() ? QString::fromUtf8(kMissingHelpText) : text);
    return true;
  }
  if (extension == u"html" || extension == u"htm") {
    if (QFileInfo(file).size() > kMaximumDocumentBytes) {
      setPlainText(QString::fromUtf8(kTooLargeText));
      return true;
    }
    setSource(QUrl::fromLocalFile(info.absoluteFilePath()), QTextDocument::HtmlResource);
    return true;
  }
  return false;
}

QVariant QVHelpBrowser::loadResource(int type, const QUrl& name) {
  QUrl url = name;
  if (url.isRelative() && source().isValid()) url = source().resolved(url);
  if (!isLocal(url)) return {};  // no network: remote images and style sheets are left out
  const QString path = url.isLocalFile() ? url.toLocalFile() : url.path();
  if (!isInsidePackage(path)) {
    platform::log("Refused to load a help resource outside the package: {}", path.toStdString());
    return {};
  }
  auto bytes = readLimited(path);
  if (!bytes) return {};
  (void)type;
  return *bytes;
}

void QVHelpBrowser::linkClicked(const QUrl& link) {
  if (link.isRelative() && link.path().isEmpty() && link.hasFragment()) {
    scrollToAnchor(link.fragment());
    return;
  }
  QUrl url = link.isRelative() && source().isValid() ? source().resolved(link) : link;
  if (!isLocal(url)) {
    platform::DesktopServices::shared().openURL(url);
    return;
  }
  const QString path = url.isLocalFile() ? url.toLocalFile() : url.path();
  if (!isInsidePackage(path) || !QFileInfo(path).isFile()) {
    Q_EMIT linkRefused(url);
    return;
  }
  const QString extension = QFileInfo(path).suffix().toLower();
  if (extension == u"zip") {
    if (zipLinkHandler) zipLinkHandler(QFileInfo(path).canonicalFilePath());
    return;
  }
  if (QFileInfo(path).size() > kMaximumDocumentBytes) {
    Q_EMIT linkRefused(url);
    return;
  }
  if (extension == u"html" || extension == u"htm") {
    setSource(url, QTextDocument::HtmlResource);
  } else {
    showDocument(path);
  }
}
