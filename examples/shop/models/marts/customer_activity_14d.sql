{{ config(event_time='activity_date', tags=['rolling'],
          meta={'velk': {'lookback': 13, 'lookback_overrides': {'stg_customers': 0}}}) }}

-- Fourteen days of activity per customer; the customer list itself needs no history.
select c.customer_id, d.order_date as activity_date, count(*) over w as orders_14d
from {{ ref('orders_daily') }} d
cross join {{ ref('stg_customers') }} c
window w as (partition by c.customer_id order by d.order_date rows between 13 preceding and current row)
