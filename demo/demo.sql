-- Sample tables for trying Velkin on the embedded database.
-- scripts/make-demo.sh builds demo/demo.db from this file.
--
-- Types are declared the Oracle way (CHAR, VARCHAR2, NUMBER(p,s), DATE) so the
-- read shows them as it would on Oracle. Dates are ISO text 'YYYY-MM-DD', the
-- form TO_DATE('yyyymmdd','yyyymmdd') writes back.

BEGIN;

DROP TABLE IF EXISTS SHAIN;
DROP TABLE IF EXISTS SHOHIN;

-- Employees. CODE and NAME are NOT NULL, so a read sorts by them.
CREATE TABLE SHAIN (
  CODE   CHAR(5)        NOT NULL,
  NAME   VARCHAR2(40)   NOT NULL,
  KANA   VARCHAR2(40),
  SALARY NUMBER(9,2),
  HIRED  DATE,
  NOTE   VARCHAR2(100)
);

INSERT INTO SHAIN VALUES ('S0001', '山田 太郎',   'ヤマダ タロウ',   350000,    '2005-04-01', '営業部 部長');
INSERT INTO SHAIN VALUES ('S0002', '佐藤 花子',   'サトウ ハナコ',   298000.5,  '2010-04-01', NULL);
INSERT INTO SHAIN VALUES ('S0003', '鈴木 一郎',   'スズキ イチロウ', 412500,    '1998-10-16', '技術部');
INSERT INTO SHAIN VALUES ('S0004', '高橋 美咲',   'タカハシ ミサキ', 265000,    '2018-04-02', '総務部');
INSERT INTO SHAIN VALUES ('S0005', '田中 健',     'タナカ ケン',     NULL,      '2024-01-09', '試用期間中');
INSERT INTO SHAIN VALUES ('S0006', '伊藤 さくら', 'イトウ サクラ',   287300.75, '2012-07-01', NULL);
INSERT INTO SHAIN VALUES ('S0007', '渡辺 翔太',   NULL,              305000,    '2015-04-01', '技術部 主任');
INSERT INTO SHAIN VALUES ('S0008', '中村 あゆみ', 'ナカムラ アユミ', 330000,    NULL,         '入社日 確認中');
INSERT INTO SHAIN VALUES ('S0009', '小林 大輔',   'コバヤシ ダイスケ', 276000,  '2019-04-01', '営業部');
INSERT INTO SHAIN VALUES ('S0010', '加藤 由美',   'カトウ ユミ',     251000,    '2021-10-01', NULL);
INSERT INTO SHAIN VALUES ('S0011', 'John Smith',  NULL,              380000,    '2016-03-14', 'Overseas sales');
INSERT INTO SHAIN VALUES ('S0012', 'Maria Garcia', NULL,             345500.5,  '2020-02-29', 'Design team');
INSERT INTO SHAIN VALUES ('S0013', 'Lee Min-jun', NULL,              NULL,      '2023-11-20', NULL);
INSERT INTO SHAIN VALUES ('S0014', '吉田 ﾐﾂﾙ',    'ﾖｼﾀﾞ ﾐﾂﾙ',        299999.99, '2011-04-01', '半角カナの例');
INSERT INTO SHAIN VALUES ('S0015', '山本 直子',   'ヤマモト ナオコ', 318000,    '2008-08-08', '経理部');

-- Products: numbers with and without scale, fixed-width codes, dates.
CREATE TABLE SHOHIN (
  CODE     CHAR(6)       NOT NULL,
  NAME     VARCHAR2(60)  NOT NULL,
  CATEGORY CHAR(2),
  PRICE    NUMBER(10,2),
  STOCK    NUMBER(7),
  TAX_RATE NUMBER(4,3),
  RELEASED DATE,
  MEMO     VARCHAR2(200)
);

INSERT INTO SHOHIN VALUES ('P10001', 'ボールペン 黒',         'BP', 120,     1500, 0.1,  '2019-06-01', NULL);
INSERT INTO SHOHIN VALUES ('P10002', 'ボールペン 赤',         'BP', 120,     820,  0.1,  '2019-06-01', NULL);
INSERT INTO SHOHIN VALUES ('P10003', 'シャープペンシル 0.5mm', 'SP', 380.5,   240,  0.1,  '2020-03-15', '人気商品');
INSERT INTO SHOHIN VALUES ('P10004', '消しゴム',              'ER', 88,      3000, 0.1,  '2018-01-10', NULL);
INSERT INTO SHOHIN VALUES ('P10005', 'A4 ノート 5冊組',       'NB', 498,     0,    0.1,  '2021-09-01', '在庫切れ');
INSERT INTO SHOHIN VALUES ('P10006', '付箋 75x75',            'ST', 215.8,   640,  0.1,  '2022-02-22', NULL);
INSERT INTO SHOHIN VALUES ('P10007', 'ホチキス',              'ST', 1280,    75,   0.1,  NULL,         '発売日未定');
INSERT INTO SHOHIN VALUES ('P10008', 'コーヒー豆 200g',       'FD', 1650,    48,   0.08, '2023-04-01', '軽減税率');
INSERT INTO SHOHIN VALUES ('P10009', '緑茶 ティーバッグ',     'FD', 540,     NULL, 0.08, '2023-04-01', NULL);
INSERT INTO SHOHIN VALUES ('P10010', 'Desk lamp LED',         'EL', 4980,    12,   0.1,  '2024-02-29', 'Imported');
INSERT INTO SHOHIN VALUES ('P10011', 'USB cable 1m',          'EL', 799.99,  300,  0.1,  '2022-12-01', NULL);
INSERT INTO SHOHIN VALUES ('P10012', 'ファイル  A4',          NULL, 150,     560,  0.1,  '2017-05-20', '名前に空白 2 つ');

COMMIT;
