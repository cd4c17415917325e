// Every Russian text of the relay and the submission, written once, here. Each function answers
// the text in Windows-1251, the relay's own code page.
#pragma once

#include <string>

namespace droprelay::texts {

// Start-up and shutdown
const std::string& WorkStarted();        // "Начало работы..."
const std::string& WorkFinished();       // "Завершение работы..."
// Start-up refused because a secret is readable by others; the file and the mode follow
const std::string& SecretExposed();      // "Работа остановлена, пароль не защищён: "

// Drop-folder cycle and disposal
const std::string& ScanningFolder();     // "Просмотр папки "
const std::string& NoNewFiles();         // "Нет новых файлов"
const std::string& FilePrefix();         // "Файл "
const std::string& DeletedOk();          // " успешно удален"
const std::string& DeleteFailed();       // " удалить НЕ УДАЛОСЬ! ("
const std::string& MovedOk();            // " успешно перемещен в "
const std::string& MoveFailed();         // " переместить НЕ УДАЛОСЬ! ("
const std::string& DisposalError();      // "Ошибка при удалении/перемещении файла!"

// Relaying one message
const std::string& FoundFile();          // "Найден файл "
const std::string& HasAttachment();      // "Письмо содержит вложение: "
const std::string& AttachmentError();    // "Ошибка извлечения Attachs!"
const std::string& RecipientBefore();    // "Адресат: "
const std::string& RecipientAfter();     // "Адресат после обработки: "
const std::string& SendingWithProfile(); // "Попытка отправки с использование профиля \""
const std::string& MessageError();       // "Ошибка при обработке email\"а!"
const std::string& SubjectBefore();      // "Тема: "
const std::string& SubjectAfter();       // "Тема после обработки: "
const std::string& BodyBefore();         // "Текст: "
const std::string& BodyAfter();          // "Текст после обработки: "

// Schedule correction
const std::string& NewScheduleTime();    // "Новое время обновления "
const std::string& DatabaseError();      // "Ошибка при работе с базой данных"

// Submission errors (each complete message ends in ";")
const std::string& NoRecipient();        // "Не указан адресат!;"
const std::string& LogonFailed();        // "Не удалось подключится к MAPI при помощи \""
const std::string& FileQuoted();         // "Файл \""
const std::string& FileNotFound();       // "\" не найден!;"
const std::string& SendFailed();         // "Ошибка отправки сообщения \""

}  // namespace droprelay::texts
