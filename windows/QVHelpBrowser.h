#pragma once

#include <QtCore/QString>
#include <QtCore/QUrl>
#include <QtWidgets/QTextBrowser>
#include <functional>

// The read-only view of help documents: a text browser (no scripts) that shows rich text converted
// from RTF, plain UTF-8 text or a local HTML page. It keeps to local files inside its package folder:
// a link to another file there loads in place, a link to a web address (or any other scheme) opens
// with the desktop's default handler and the page stays, and a link or resource that leads outside
// the folder (through "..", a symbolic link or an absolute path) loads nothing.
class QVHelpBrowser : public QTextBrowser {
  Q_OBJECT

 public:
  // Documents and resources larger than this are refused.
  static constexpr qint64 kMaximumDocumentBytes = qint64(8) << 20;
  static constexpr const char* kMissingHelpText = "<Missing Help Text>";
  static constexpr const char* kTooLargeText = "This help document is too large to show (more than 8 MB).";

  explicit QVHelpBrowser(QWidget* parent = nullptr);

  // The folder whose files may be shown (its real path is used).
  void setPackageFolder(const QString& folder);
  QString packageFolder() const { return packageFolder_; }

  // Shows the document by its extension: "rtf", or "rtfd" (its "TXT.rtf"), as rich text; "txt" as
  // UTF-8 text ("<Missing Help Text>" when it is not); "html"/"htm" as a page. False, showing
  // nothing, for other extensions and missing files; a document over the limit shows kTooLargeText.
  bool showDocument(const QString& path);

  // Whether the file lies inside the package folder (after resolving links) and exists.
  bool isInsidePackage(const QString& path) const;

  // Called for a local "zip" file the user clicked inside the package (the help window saves it);
  // without it such a link loads nothing.
  std::function<void(const QString& path)> zipLinkHandler;

  QVariant loadResource(int type, const QUrl& name) override;

  // Wide enough for the document's widest part that cannot wrap (a code line, a table), so that it
  // shows without scrolling sideways; never wider than two thirds of the screen.
  QSize sizeHint() const override;
  // The narrowest width the document takes without scrolling sideways (its margins included): what
  // can wrap is wrapped into the browser's own token width.
  int narrowestContentWidth() const;

 protected:
  // A new palette (a theme change) shows the document again with links in the palette's link colour.
  void changeEvent(QEvent* event) override;

 Q_SIGNALS:
  // A link the browser refused to load (outside the package, too large, missing).
  void linkRefused(const QUrl& url);

 private:
  void linkClicked(const QUrl& url);
  void applyLinkColor();
  // The browser's width around its document: frame and vertical scroll bar.
  int chromeWidth() const;

  QString packageFolder_;
  QString documentPath_;                    // the document shown through showDocument
  mutable int narrowestContentWidth_ = -1;  // measured when first asked after a change
};
